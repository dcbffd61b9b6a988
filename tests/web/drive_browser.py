"""Plays the game page in headless Chromium: opens the link, waits for the
automatic respawn, holds D to walk right, and saves a screenshot."""
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

url, screenshot = sys.argv[1], sys.argv[2]
options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--window-size=1000,700'):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
try:
    driver.set_page_load_timeout(20)
    driver.get(url)
    driver.find_element(By.ID, 'world')
    time.sleep(4.5)  # the server brings a new player to life 3 s after it joins
    ActionChains(driver).key_down('d').pause(1.5).key_up('d').perform()
    time.sleep(0.3)
    driver.save_screenshot(screenshot)
finally:
    driver.quit()
print('browser done')
