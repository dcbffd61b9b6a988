"""Drives the game's pages in headless Chromium. play URL SCREENSHOT: waits for the automatic
respawn, holds D to walk right, saves a screenshot. watch URL NAME: once the page shows NAME
and itself as the one spectator, follows NAME with ] and says so; then waits until the page
shows NAME where standard input's "X Y" says and says so. replay URL NAME SEEN_MS "X Y" "X Y": opens
the recording at URL (/replay?demo=...) 0.5 s after SEEN_MS (ms since 1970, when NAME's first move was
seen), says so when NAME stands at the first "X Y" there, plays on with Space and says when at the second.
feel URL: plays the page as the feel benchmark measures it, from the pixels drawn on the canvas (see
feel.py), and prints one line of figures as JSON. stay URL SECONDS: keeps the page open that long,
printing its status line each time it changes. touch URL: once alive, two fingers (Chrome DevTools
Protocol touch events) push the move stick right and the aim stick up past its fire line and hold
them until a line comes on standard input, then the touch is cancelled; says each step and whether
the page sent a "Move" after the cancel. phone URL: a 360 × 640 touch phone at twice the pixels:
prints one line of JSON on overflow, drawing, the manifest and the sound after a tap, for the game
page and (overflow only) /watch and /replay. layout URL SHOTS: each page at phone and desktop sizes, "ok" or "bad" and why.
path URL NAME SECONDS: for that long, says which way others' motion comes ("path datagrams", "path WebSocket"),
as the figures (P) draw it, each time it changes, and once NAME's drawn name has moved ten times.
gaps URL NAME WARMUP SECONDS: after the warm-up, for that long, where the page draws NAME each frame; prints
one RESULT line: the gaps over 100 ms between frames that drew it somewhere new, the longest, the time
frozen beyond 100 ms as a share, and which way others' motion came (P)."""
import json
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

mode, url = sys.argv[1], sys.argv[2]
options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--window-size=1000,700'):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
if mode == 'feel':
    import feel
    feel.install(driver)


WATCH = ('const w = window.skirmishWatch; return w && '
         '{link: w.link, following: w.following, spectators: w.spectators, players: w.players}')
REPLAY = ('const r = window.replayState; return r && {loaded: r.loaded, error: r.error, startMs: r.startMs, '
          'durationMs: r.durationMs, timeMs: r.timeMs, playing: r.playing, players: r.players, lastSeekMs: r.lastSeekMs}')


def position(where):
    return tuple(float(v.rstrip('f')) for v in where.split())  # as the C++ client writes them: "190f 56f"


def watched(condition, seconds=30, script=WATCH):
    """The page's state once condition holds of it; exits with the last state if it never does."""
    deadline, state = time.monotonic() + seconds, None
    while time.monotonic() < deadline:
        state = driver.execute_script(script)
        if state and condition(state):
            return state
        time.sleep(0.1)
    sys.exit(f'the page never showed it: {state}')


try:
    driver.set_page_load_timeout(20)
    driver.get(url)
    driver.find_element(By.ID, 'world')
    if mode == 'feel':
        print(json.dumps(feel.measure(driver)), flush=True)
    elif mode == 'touch':
        PLAY = 'return window.skirmishPlay && {alive: window.skirmishPlay.alive, moves: window.skirmishPlay.movesSent}'
        watched(lambda s: s['alive'], script=PLAY)
        touch = lambda kind, points: driver.execute_cdp_cmd('Input.dispatchTouchEvent', {
            'type': kind, 'touchPoints': [{'x': x, 'y': y, 'id': i} for i, (x, y) in points]})
        touch('touchStart', [(0, (150, 450)), (1, (800, 450))])
        for step in range(1, 11):  # the left thumb slides right, the right one up past the fire line
            touch('touchMove', [(0, (150 + 6 * step, 450)), (1, (800, 450 - 6 * step))])
            time.sleep(0.05)
        print('touching', flush=True)
        sys.stdin.readline()  # held until the test has seen a shot: the weapon's cooldown runs from the respawn
        driver.execute_cdp_cmd('Input.dispatchTouchEvent', {'type': 'touchCancel', 'touchPoints': []})
        sent = watched(lambda s: True, script=PLAY)['moves']
        time.sleep(1.5)
        after = watched(lambda s: True, script=PLAY)['moves']
        print(f'cancelled: {after - sent} moves after', flush=True)
    elif mode == 'phone':
        PHONE = r"""
const done = arguments[arguments.length - 1];
const page = document.documentElement, canvas = document.getElementById('world');
const link = document.querySelector('link[rel=manifest]');
fetch(link ? link.href : '/none').then((r) => r.json().then((m) => [r.headers.get('content-type'), m])).then(([type, m]) => {
  const x = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
  let lit = 0;
  for (let i = 0; i < x.length; i += 4) if (x[i] + x[i + 1] + x[i + 2] > 3 * 0x30) lit++;
  done({scrolls: page.scrollWidth > innerWidth || page.scrollHeight > innerHeight, width: innerWidth,
        canvas: [canvas.width, canvas.height], lit, touch: document.body.classList.contains('touch'),
        manifest: type, display: m.display, icons: m.icons.length,
        audio: window.skirmishPlay && window.skirmishPlay.sound.context && window.skirmishPlay.sound.context.state});
}).catch((e) => done({error: String(e)}));"""
        driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                               {'width': 360, 'height': 640, 'deviceScaleFactor': 2, 'mobile': True})
        driver.execute_cdp_cmd('Emulation.setTouchEmulationEnabled', {'enabled': True, 'maxTouchPoints': 5})
        figures = {}
        for page in ('watch', 'replay?demo=none', '?name=Phone'):
            driver.get(url + page)
            time.sleep(3)
            if page == '?name=Phone':
                for kind in ('touchStart', 'touchEnd'):
                    driver.execute_cdp_cmd('Input.dispatchTouchEvent', {
                        'type': kind, 'touchPoints': [] if kind == 'touchEnd' else [{'x': 100, 'y': 500}]})
                time.sleep(0.5)
            driver.set_script_timeout(10)
            figures[page.split('?')[0] or 'play'] = driver.execute_async_script(PHONE)
        print(json.dumps(figures), flush=True)
    elif mode == 'layout':  # every word drawn on a canvas is boxed; names centred on players move with the world
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': r"""window.drawn = [];
const fillText = CanvasRenderingContext2D.prototype.fillText;
CanvasRenderingContext2D.prototype.fillText = function (text, x, y) {
  const m = this.measureText(text);  // with what the page lays out (a box that clips, as shown) below
  if (this.textAlign !== 'center') drawn.push([text, x - m.actualBoundingBoxLeft, y - m.fontBoundingBoxAscent, x + m.actualBoundingBoxRight, y + m.fontBoundingBoxDescent]);
  return fillText.call(this, text, x, y);
};"""})
        BOXES = r"""await new Promise(requestAnimationFrame).then(() => { drawn.length = 0; return new Promise(requestAnimationFrame); });  // one whole frame
const boxes = drawn.map(([what, ...box], i) => [`canvas "${what}"`, i, ...box]), bad = [], w = innerWidth, h = innerHeight;
const boxed = (e) => e.matches('button, input, select') || e.textContent.trim() && getComputedStyle(e).overflow !== 'visible';
const inBox = (e) => e.parentElement !== document.body && (boxed(e.parentElement) || inBox(e.parentElement));
for (const e of document.querySelectorAll('body *')) {
  const own = [...e.childNodes].filter((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim());
  if (!e.checkVisibility({visibilityProperty: true}) || inBox(e) || (!boxed(e) && !own.length)) continue;
  const rects = boxed(e) ? [e.getBoundingClientRect()] : own.flatMap((n) => { const r = document.createRange(); r.selectNodeContents(n); return [...r.getClientRects()]; });
  for (const r of rects) boxes.push([`${e.tagName} "${e.textContent.trim().slice(0, 30)}"`, e, r.left, r.top, r.right, r.bottom]);
}
for (const [i, [what, item, l, t, r, b]] of boxes.entries()) {  // the list of recordings may scroll down
  if (l < -1 || r > w + 1 || (location.pathname !== '/demos' && (t < -1 || b > h + 1))) bad.push(`${what} leaves the screen`);
  for (const [other, it, l2, t2, r2, b2] of boxes.slice(i + 1))
    if (item !== it && Math.min(r, r2) - Math.max(l, l2) > 1 && Math.min(b, b2) - Math.max(t, t2) > 1) bad.push(`${what} covers ${other}`);
}
if (document.documentElement.scrollWidth > w || w > screen.width) bad.push('the page is wider than the screen');
return [bad, drawn.map(([what]) => what)];"""
        for width, height in ((360, 640), (640, 360), (1280, 800), (1920, 1080)):
            driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {'width': width, 'height': height, 'mobile': width < 1000,
                                   'deviceScaleFactor': 1, 'screenWidth': width, 'screenHeight': height})
            driver.execute_cdp_cmd('Emulation.setTouchEmulationEnabled', {'enabled': width < 1000})
            for page in ('play', 'watch', 'demos', 'replay'):
                driver.get(replay if page == 'replay' else url + {'play': '?name=A newcomer whose name runs on past a phone screen'}.get(page, page))
                time.sleep(0.3 if page == 'demos' else 1.5)
                if page == 'demos':
                    replay = driver.find_element(By.CSS_SELECTOR, 'a[href^="/replay"]').get_attribute('href')
                if page == 'play':  # the scores and the figures (P) shown as well
                    driver.execute_script("document.getElementById('scores-button').click(); dispatchEvent(new KeyboardEvent('keydown', {code: 'KeyP'}))")
                bad, words = driver.execute_script(BOXES)
                driver.save_screenshot(f'{sys.argv[3]}/{page}-{width}x{height}.png')
                print('bad' if bad else 'ok', page, f'{width}x{height}', f'{bad} ' * bool(bad) + f'first words: {words[:1]}', flush=True)
    elif mode == 'path':  # from what is drawn: the way others' motion comes (the P line's last word), and NAME moving
        name, seconds = sys.argv[3], float(sys.argv[4])
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': r"""window.drawnAt = new Map();
const fillText = CanvasRenderingContext2D.prototype.fillText;
CanvasRenderingContext2D.prototype.fillText = function (text, x, y) {
  drawnAt.set(String(text).startsWith('ping ') ? 'ping' : String(text), [String(text), x, y]);
  return fillText.call(this, text, x, y);
};"""})
        driver.get(url)
        time.sleep(1)
        driver.execute_script("dispatchEvent(new KeyboardEvent('keydown', {code: 'KeyP'}))")
        path, place, moves, deadline = None, None, 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            ping, named = driver.execute_script('return [drawnAt.get("ping"), drawnAt.get(arguments[0])]', name)
            if ping and ping[0].split(' · ')[-1] != path:
                path = ping[0].split(' · ')[-1]
                print(f'path {path}', flush=True)
            if named and place and named[1:] != place:
                moves += 1
                if moves == 10:
                    print(f'{name} seen moving', flush=True)
            place = named[1:] if named else place
            time.sleep(0.05)
    elif mode == 'gaps':  # another player's drawn motion: the gaps between frames that drew NAME somewhere new
        name, warmup, seconds = sys.argv[3], float(sys.argv[4]), float(sys.argv[5])
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': r"""window.trail = []; window.pingLine = '';
const fillText = CanvasRenderingContext2D.prototype.fillText;
CanvasRenderingContext2D.prototype.fillText = function (text, x, y) {
  if (text === window.trailName) trail.push([performance.now(), x, y]);
  else if (String(text).startsWith('ping ')) pingLine = String(text);
  return fillText.call(this, text, x, y);
};"""})
        driver.get(url)
        driver.execute_script('window.trailName = arguments[0]', name)
        time.sleep(1)
        driver.execute_script("dispatchEvent(new KeyboardEvent('keydown', {code: 'KeyP'}))")
        time.sleep(warmup)
        driver.execute_script('trail.length = 0')
        time.sleep(seconds)
        trail, ping = driver.execute_script('return [trail, pingLine]')
        if not trail:
            print(f'RESULT connected=1 found=0 path={ping.split(" · ")[-1]}', flush=True)
            sys.exit(0)
        start, end = trail[0][0], trail[-1][0]
        moved = [t for (t, x, y), (_, px, py) in zip(trail[1:], trail) if (x, y) != (px, py)]
        arrivals = [start] + moved + [end]
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        frozen = sum(max(0.0, g - 100) for g in gaps) / max(1.0, end - start)
        print(f'RESULT connected=1 found=1 gaps={sum(g > 100 for g in gaps)} longest_ms={max(gaps):.0f} '
              f'frozen_pct={100 * frozen:.1f} path={ping.split(" · ")[-1]} frames={len(trail)}', flush=True)
    elif mode == 'stay':
        said, deadline = None, time.monotonic() + float(sys.argv[3])
        while time.monotonic() < deadline:
            status = driver.find_element(By.ID, 'status').text
            if status != said:
                print(f'status: {status}', flush=True)
                said = status
            time.sleep(0.1)
    elif mode == 'play':
        time.sleep(4.5)  # the server brings a new player to life 3 s after it joins
        ActionChains(driver).key_down('d').pause(1.5).key_up('d').perform()
        time.sleep(0.3)
        driver.save_screenshot(sys.argv[3])
    elif mode == 'replay':
        name, seen_ms, first, second = sys.argv[3], int(sys.argv[4]), position(sys.argv[5]), position(sys.argv[6])
        at = lambda s, where: any(p['name'] == name and not p['dead'] and (p['x'], p['y']) == where for p in s['players'])
        opened = lambda s: s['loaded'] or s['error']
        for _ in range(20):  # until the file holds the moment: blocks are written at least once a second
            driver.get(f'{url}&t=0')
            state = watched(opened, script=REPLAY)
            moment = seen_ms - state['startMs'] + 500  # well before the second move, 2 s after the first was seen
            if state['error'] or state['durationMs'] >= moment:
                break
            time.sleep(1)
        driver.get(f'{url}&t={moment / 1000}')
        state = watched(lambda s: opened(s) and (s['error'] or at(s, first)), script=REPLAY)
        if state['error'] or state['playing'] or state['timeMs'] != moment:
            sys.exit(f'the replay page did not open paused at {moment} ms: {state}')
        print(f'saw {name} at {sys.argv[5]} (a seek of {state["lastSeekMs"]:.1f} ms)', flush=True)
        ActionChains(driver).send_keys(' ').perform()
        watched(lambda s: s['playing'] and at(s, second), script=REPLAY)
        print(f'played on to {name} at {sys.argv[6]}', flush=True)
    else:
        name = sys.argv[3]
        player = lambda state: next((p for p in state['players'] if p['name'] == name), None)
        watched(lambda s: s['link'] == 'watching' and s['spectators'] == 1 and player(s))
        ActionChains(driver).send_keys(']').perform()
        watched(lambda s: s['following'] == player(s)['id'])
        print(f'following {name}', flush=True)
        where = sys.stdin.readline().strip()
        watched(lambda s: (player(s)['x'], player(s)['y']) == position(where))
        print(f'saw {name} at {where}', flush=True)
finally:
    driver.quit()
print('browser done')
