"""How play feels, measured from what the game page draws: after every frame the page paints,
its canvas is read back and the own player (its fill colour) and another player (theirs) are
found by their pixels. Nothing is read from the page's own variables."""
import statistics
import time

from selenium.webdriver.common.action_chains import ActionChains

# Runs before the page's scripts: every frame the page draws is sampled right after it is drawn.
PROBE = r'''
(() => {
  const frames = [];
  const keys = [];
  window.feelProbe = { frames, keys };
  const own = 0x56b4e9, other = 0xe69f00; // the page's own and other players' fill colours
  const asPixel = (rgb) => (0xff000000 | ((rgb & 0xff) << 16) | (rgb & 0xff00) | (rgb >> 16)) >>> 0;
  const [ownPixel, otherPixel] = [asPixel(own), asPixel(other)];
  const raf = window.requestAnimationFrame.bind(window);
  window.requestAnimationFrame = (draw) => raf((time) => {
    draw(time);
    const drawn = performance.now();
    const canvas = document.getElementById('world');
    if (!canvas || canvas.width === 0) return;
    const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    const pixels = new Uint32Array(data.buffer); // little-endian: 0xAABBGGRR
    const sum = { [own]: [0, 0, 0], [other]: [0, 0, 0] };
    for (let p = 0; p < pixels.length; p++) {
      const v = pixels[p];
      if (v !== ownPixel && v !== otherPixel) continue;
      const found = sum[v === ownPixel ? own : other];
      found[0] += p % canvas.width; found[1] += (p / canvas.width) | 0; found[2]++;
    }
    const centre = ([x, y, n]) => (n > 20 ? [x / n, y / n] : null);
    frames.push({ t: drawn, own: centre(sum[own]), other: centre(sum[other]), probeMs: performance.now() - drawn });
  });
  addEventListener('keydown', (event) => { if (!event.repeat) keys.push({ code: event.code, t: performance.now() }); }, true);
})();
'''


def install(driver):
    driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': PROBE})


def frames_since(driver, start):
    return driver.execute_script('return window.feelProbe.frames.slice(arguments[0])', start)


def frame_count(driver):
    return driver.execute_script('return window.feelProbe.frames.length')


def wait_alive(driver, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        frames = driver.execute_script('return window.feelProbe ? window.feelProbe.frames.slice(-1) : []')
        if frames and frames[0]['own']:
            return True
        time.sleep(0.1)
    return False


def hold(driver, key, seconds):
    """Holds key; returns the page's time of the key press."""
    ActionChains(driver).key_down(key).perform()
    pressed = driver.execute_script('return window.feelProbe.keys.slice(-1)[0].t')
    time.sleep(seconds)
    ActionChains(driver).key_up(key).perform()
    return pressed


def percentile(values, share):
    values = sorted(values)
    return values[min(len(values) - 1, int(share * len(values)))] if values else None


def measure(driver, trials=5):
    if not wait_alive(driver):
        return {'error': 'the own player was never drawn alive'}
    ActionChains(driver).send_keys('m').perform()  # the whole map: the own player moves on the canvas
    ActionChains(driver).send_keys('r').perform()  # somewhere on the map, away from the others
    time.sleep(1.5)
    # Towards the farther side of the map, so that no wall stops the walk.
    last = driver.execute_script('return window.feelProbe.frames.slice(-1)[0]')
    width = driver.execute_script("return document.getElementById('world').width")
    key, way = ('d', 1) if last and last['own'] and last['own'][0] < width / 2 else ('a', -1)
    key_ms = []
    for _ in range(trials):
        start = frame_count(driver)
        pressed = hold(driver, key, 0.25)
        time.sleep(0.6)
        frames = frames_since(driver, start)
        before = [f for f in frames if f['t'] < pressed and f['own']]
        after = [f for f in frames if f['t'] >= pressed and f['own']]
        if before and after:
            x0 = before[-1]['own'][0]
            moved = next((f for f in after if way * (f['own'][0] - x0) > 0.5), None)
            if moved:
                key_ms.append(moved['t'] - pressed)
    # Steady walking: no frame may draw the own player further back than the one before.
    start = frame_count(driver)
    pressed = hold(driver, key, 2.5)
    frames = [f for f in frames_since(driver, start) if f['t'] >= pressed + 300]
    frames = frames[:-2]  # the key's release
    back = max([0] + [way * (a['own'][0] - b['own'][0]) for a, b in zip(frames, frames[1:]) if a['own'] and b['own']])
    others = [(a['other'], b['other']) for a, b in zip(frames, frames[1:]) if a['other'] and b['other']]
    frozen = sum(1 for a, b in others if abs(a[0] - b[0]) < 0.01 and abs(a[1] - b[1]) < 0.01)
    gaps = [b['t'] - a['t'] for a, b in zip(frames, frames[1:])]
    return {
        'key_ms_median': statistics.median(key_ms) if key_ms else None,
        'key_ms_max': max(key_ms) if key_ms else None,
        'back_px': round(back, 2),
        'frozen_share': round(frozen / len(others), 3) if others else None,
        'frame_ms_p50': percentile(gaps, 0.5),
        'frame_ms_p99': percentile(gaps, 0.99),
        'frames': len(frames),
        'probe_ms_p50': percentile([f['probeMs'] for f in frames], 0.5),
    }
