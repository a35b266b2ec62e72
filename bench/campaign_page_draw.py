#!/usr/bin/python3
"""Opens a campaign page from its file in a fresh headless Chromium and prints
the milliseconds from the navigation's start to the first painted frame of
its timeline (the page's "timeline-painted" mark).

usage: campaign_page_draw.py PAGE
"""

import os
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1000"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get("file://" + os.path.abspath(sys.argv[1]))
        WebDriverWait(driver, 60).until(
            lambda d: d.execute_script("return document.body.dataset.painted === '1'"))
        ms = driver.execute_script(
            "return performance.getEntriesByName('timeline-painted')[0].startTime")
        print(f"{ms:.1f}")
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
