#!/usr/bin/python3
"""The campaign page in headless Chromium, opened from a file.

usage: campaign_page_test.py DEMO_PROGRAM OUT_DIR

DEMO_PROGRAM writes the page and the job log of a small campaign; the page,
the log and a screenshot stay in OUT_DIR. Without Chromium, its driver or
selenium the test is skipped (exit 77), but fails under CI=true.
"""

import json
import os
import shutil
import subprocess
import sys
import unittest

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False


def start_browser(width=1280, height=1040):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--hide-scrollbars", f"--window-size={width},{height}"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def read_joblog(path):
    """Per copy, its tries as (start ms, runtime ms, Exitval, Signal, Command)."""
    copies = {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()[1:]
    for line in lines:
        seq, _host, start, runtime, _s, _r, exitval, signal, command = line.split("\t", 8)
        copies.setdefault(int(seq) - 1, []).append(
            (round(float(start) * 1000), round(float(runtime) * 1000), int(exitval), int(signal),
             command))
    return copies


class CampaignPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = OUT
        os.makedirs(cls.out, exist_ok=True)
        cls.page = os.path.join(cls.out, "campaign.html")
        cls.log = os.path.join(cls.out, "campaign.log")
        subprocess.run([DEMO, cls.page, cls.log], check=True)
        cls.driver = start_browser()
        cls.driver.get("file://" + cls.page)
        WebDriverWait(cls.driver, 30).until(
            lambda d: d.execute_script("return document.body.dataset.painted === '1'"))
        cls.data = cls.driver.execute_script(
            "return JSON.parse(document.getElementById('campaign').textContent)")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def click_try(self, copy):
        """Clicks the bar of `copy`'s last try; the details' text."""
        rows = self.data["tries"]["rows"]
        index = max(i for i, r in enumerate(rows) if r[0] == copy)
        canvas = self.driver.find_element(By.ID, "timeline")
        at = self.driver.execute_script("return window.campaignPage.bar(arguments[0])", index)
        size = canvas.size
        ActionChains(self.driver).move_to_element_with_offset(
            canvas, at["x"] - size["width"] / 2, at["y"] - size["height"] / 2).click().perform()
        return self.driver.find_element(By.ID, "details").text

    def test_no_error_and_no_request_beyond_the_file(self):
        severe = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(severe, [])
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                urls.append(message["params"]["request"]["url"])
        self.assertTrue(urls)
        self.assertEqual([u for u in urls if not u.startswith("file:")], [])
        resources = self.driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)")
        self.assertEqual([u for u in resources if not u.startswith("file:")], [])

    def test_data_matches_the_job_log(self):
        data = self.data
        logged = read_joblog(self.log)
        C = {name: i for i, name in enumerate(data["copies"]["columns"])}
        T = {name: i for i, name in enumerate(data["tries"]["columns"])}
        outcomes = data["outcomes"]

        def text(value, row):
            if not isinstance(value, int):
                return value
            pattern = data["patterns"][value]
            for name in ("copy", "first", "share"):
                pattern = pattern.replace("{" + name + "}", str(row[C[name]]))
            return pattern

        commands = {r[C["copy"]]: text(r[C["command"]], r) for r in data["copies"]["rows"]}
        self.assertEqual(sorted(commands), list(range(7)))
        self.assertEqual(commands[4],
                         "VORNCoreExTest.exe </script><script>window.pwned=1</script><!-- & 40 10 4")
        outputs = {r[C["copy"]]: text(r[C["output"]], r) for r in data["copies"]["rows"]}
        self.assertEqual(outputs[4], 'logs/<img src=x onerror="window.pwned=2">&amp;.log')
        self.assertEqual(outputs[1], "logs/copy-1.log")
        seen = {}
        for r in data["tries"]["rows"]:
            outcome = outcomes[r[T["outcome"]]]
            exitval, signal = {"exited": (r[T["code"]], 0), "signaled": (0, r[T["code"]]),
                               "timed out": (124, 9), "stopped": (-1, 9),
                               "never tried": (-1, 0), "start failed": (127, 0)}[outcome]
            copy = r[T["copy"]]
            seen.setdefault(copy, []).append(
                (data["begin_ms"] + r[T["start"]], r[T["runtime"]], exitval, signal,
                 commands[copy]))
            self.assertEqual(r[T["lane"]] < 0, outcome == "never tried")
        # The never-tried copy's line carries no time of its own.
        seen[6] = [(logged[6][0][0],) + t[1:] for t in seen[6]]
        self.assertEqual(seen, logged)
        self.assertEqual(data["lanes"], 2)
        counts = data["counts"]
        self.assertEqual((counts["passed"], counts["failed"], counts["flaky"], counts["never"]),
                         (2, 3, 1, 2))
        self.assertEqual(data["flaky"]["rows"], [[2, 2]])
        words = dict(data["failed"]["rows"])
        self.assertEqual(words[1], "copy 1 exited with status 3 (output in logs/copy-1.log)")

    def test_summary(self):
        cards = self.driver.find_element(By.ID, "cards").text
        self.assertIn("3\nfailed", cards)
        self.assertIn("1\nflaky", cards)
        failed = self.driver.find_element(By.ID, "failed").text
        self.assertIn("copy 3 timed out after 2.5 s", failed)
        self.assertIn("copy 2 passed on its 2nd try",
                      self.driver.find_element(By.ID, "flaky").text)
        slowest = self.driver.find_element(By.ID, "slowest").text.splitlines()
        self.assertTrue(slowest[1].startswith("3 30..39 1 2.500 s"), slowest)

    def test_clicking_a_failed_try_shows_it(self):
        details = self.click_try(1)
        for expected in ("copy\n1", "indices\n10..19", "try\n1 of 1", "start\n+0.000 s",
                         "run time\n0.800 s", "exited with status 3 (failed)",
                         "output\nlogs/copy-1.log", "command\nVORNCoreExTest.exe 02C4E67%05d 10 10 1"):
            self.assertIn(expected, details)
        self.assertNotIn("host", details)  # ":", a local run's

    def test_hostile_text_stays_text(self):
        details = self.click_try(4)
        self.assertIn("was killed by signal 11", details)
        self.assertIn('logs/<img src=x onerror="window.pwned=2">&amp;.log', details)
        self.assertIn("</script><script>window.pwned=1</script><!-- & 40 10 4", details)
        self.assertIsNone(self.driver.execute_script("return window.pwned"))
        self.assertEqual(len(self.driver.find_elements(By.TAG_NAME, "img")), 0)
        self.assertEqual(len(self.driver.find_elements(By.TAG_NAME, "script")), 2)
        # The screenshot, with a try's details shown and no tooltip.
        ActionChains(self.driver).move_to_element(
            self.driver.find_element(By.TAG_NAME, "h1")).perform()
        self.driver.save_screenshot(os.path.join(self.out, "campaign.png"))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    DEMO, OUT = sys.argv[1], os.path.abspath(sys.argv[2])
    missing = [p for p in (CHROMIUM, DRIVER) if not shutil.which(p)]
    if not HAVE_SELENIUM:
        missing.append("python3-selenium")
    if missing:
        message = "campaign_page_test: missing " + ", ".join(missing) + " (bash scripts/setup.sh)"
        if os.environ.get("CI") == "true":
            sys.exit(message)
        print(message + ": skipped")
        sys.exit(77)
    result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
