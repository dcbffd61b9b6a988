"""Drives the game's pages in headless Chromium. play URL SCREENSHOT: waits for the automatic
respawn, holds D to walk right, saves a screenshot. watch URL NAME: once the page shows NAME
and itself as the one spectator, follows NAME with ] and says so; then waits until the page
shows NAME where standard input's "X Y" says and says so."""
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


def watched(condition, seconds=30):
    """The watch page's state once condition holds of it; exits with the last state if it never does."""
    deadline, state = time.monotonic() + seconds, None
    while time.monotonic() < deadline:
        state = driver.execute_script('const w = window.skirmishWatch; return w && '
                                      '{link: w.link, following: w.following, spectators: w.spectators, players: w.players}')
        if state and condition(state):
            return state
        time.sleep(0.1)
    sys.exit(f'the watch page never showed it: {state}')


try:
    driver.set_page_load_timeout(20)
    driver.get(url)
    driver.find_element(By.ID, 'world')
    if mode == 'play':
        time.sleep(4.5)  # the server brings a new player to life 3 s after it joins
        ActionChains(driver).key_down('d').pause(1.5).key_up('d').perform()
        time.sleep(0.3)
        driver.save_screenshot(sys.argv[3])
    else:
        name = sys.argv[3]
        player = lambda state: next((p for p in state['players'] if p['name'] == name), None)
        watched(lambda s: s['link'] == 'watching' and s['spectators'] == 1 and player(s))
        ActionChains(driver).send_keys(']').perform()
        watched(lambda s: s['following'] == player(s)['id'])
        print(f'following {name}', flush=True)
        where = sys.stdin.readline().strip()
        x, y = (float(v.rstrip('f')) for v in where.split())  # as the C++ client writes them: "190f 56f"
        watched(lambda s: (player(s)['x'], player(s)['y']) == (x, y))
        print(f'saw {name} at {where}', flush=True)
finally:
    driver.quit()
print('browser done')
