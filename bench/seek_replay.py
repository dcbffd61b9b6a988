"""Seeks a recording on the replay page in headless Chromium, the way a viewer drags the seek bar.

Usage: seek_replay.py BASE_URL NAME [SEEKS] [SEED]

Opens BASE_URL/replay?demo=NAME, waits until the page has read the file and built its first
moment, pauses it, then seeks to SEEKS pseudo-random moments across the whole recording: sets
the seek bar's value and fires its 'input' event. Two figures per seek, both in ms of page time:
  rebuild  the page's own replayState.lastSeekMs: the world rebuilt from its keyframe
  shown    from the event to the end of the first frame drawn at the new moment (the page's
           frame callback runs before ours in that frame, so the canvas holds the new world)
Prints RESULT seeks=N p50=.. p99=.. max=.. (shown) rebuild_p50=.. rebuild_p99=.. rebuild_max=..
load_ms=.. (navigation start to loaded) bytes=.. blocks=.. duration_ms=.. players_min=.. misses=..
heap_mb=.. (the page's JavaScript heap once loaded); a line per seek before it.
"""
import random
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

base, name = sys.argv[1].rstrip('/'), sys.argv[2]
seeks = int(sys.argv[3]) if len(sys.argv) > 3 else 20
seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1

options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--window-size=1000,700'):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)

# Resolves once the page has loaded or cannot (an error, or damage before the first block),
# on the first frame that sees it.
LOADED = '''const done = arguments[arguments.length - 1];
const look = () => {
  const r = window.replayState;
  if (r && (r.loaded || r.error || r.damage)) done({loaded: r.loaded, error: r.error || r.damage, at: performance.now(),
    durationMs: r.durationMs, bytes: r.bytes, blocks: r.blocks, playing: r.playing,
    heap: performance.memory ? performance.memory.usedJSHeapSize : 0});
  else requestAnimationFrame(look);
};
look();'''

# One seek as the seek bar's own 'input' event makes it, timed to the end of the frame drawn after it.
SEEK = '''const [target, done] = [arguments[0], arguments[arguments.length - 1]];
const bar = document.getElementById('seek');
const began = performance.now();
bar.value = String(target);
bar.dispatchEvent(new Event('input', {bubbles: true}));
const wait = () => {
  const r = window.replayState;
  // A seek that never arrives counts as a miss after 10 s rather than hanging the run.
  if (r.timeMs !== target && performance.now() - began < 10000) { requestAnimationFrame(wait); return; }
  requestAnimationFrame(() => done({shown: performance.now() - began, rebuild: r.lastSeekMs,
    timeMs: r.timeMs, players: r.players.length}));
};
wait();'''


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


try:
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(900)  # a long file takes a while to read before it loads
    driver.get(f'{base}/replay?demo={name}')
    state = driver.execute_async_script(LOADED)
    if not state['loaded']:
        sys.exit(f'the replay page did not load {name}: {state["error"]}')
    if state['playing']:
        driver.find_element('id', 'play').click()  # pause, so the moment stays where the seek put it
    time.sleep(0.5)
    chosen = random.Random(seed)
    duration = state['durationMs']
    shown, rebuild, players, misses = [], [], [], 0
    for _ in range(seeks):
        target = chosen.randint(0, duration)
        result = driver.execute_async_script(SEEK, target)
        misses += result['timeMs'] != target
        shown.append(result['shown'])
        rebuild.append(result['rebuild'])
        players.append(result['players'])
        print(f'seek to {target} ms: shown {result["shown"]:.1f} ms, rebuilt in {result["rebuild"]:.1f} ms', flush=True)
    figures = lambda key, values: ' '.join(f'{key}{p}={percentile(values, q):.1f}' for p, q in
                                           (('p50', 50), ('p99', 99), ('max', 100)))
    print(f'RESULT seeks={seeks} {figures("", shown)} {figures("rebuild_", rebuild)} '
          f'load_ms={state["at"]:.0f} bytes={state["bytes"]} blocks={state["blocks"]} duration_ms={duration} '
          f'players_min={min(players)} misses={misses} heap_mb={state["heap"] / 1048576:.0f}', flush=True)
finally:
    driver.quit()
