#!/usr/bin/python3
"""The dashboard page in headless Chromium against a running `corvane-host serve`.

Usage: /usr/bin/python3 tests/web/dashboard_browser_test.py --url http://127.0.0.1:PORT/ --data-dir DIR
           [--screenshot build/dashboard.png] [--timeout 60]

The page's numbers are checked against counts taken straight from DIR/reporting.db, over the time range
each tile's answer reports. The escaping check adds a few records to the database (and removes them).
"""
import argparse
import calendar
import json
import os
import signal
import sqlite3
import sys
import time
import unittest
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ARGS = None
TILES = ["ChangesByWho", "ChangesByWhere", "ChangesByObjectType", "ChangesByAction", "ChangesByProduct",
         "ChangesByDataSource", "ChangesByPlan", "RemovalsByWho"]
# The preset "Removals" of config/config-store.xml.
REMOVED_ACTION = "Removed"
HTML_WHO = 'CORP\\<img src=x onerror="document.body.dataset.injected=1">'


def unix(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))


class DashboardPage(unittest.TestCase):
    driver = None

    @classmethod
    def setUpClass(cls):
        host = urllib.parse.urlsplit(ARGS.url).hostname
        opts = Options()
        opts.binary_location = "/usr/bin/chromium"
        # As root Chromium needs --no-sandbox; the resolver rule keeps it off every address but the page's.
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,800",
                    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE " + host):
            opts.add_argument(arg)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
        cls.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": 1200, "height": 800, "deviceScaleFactor": 1, "mobile": False})
        cls.db = sqlite3.connect(os.path.join(ARGS.data_dir, "reporting.db"), timeout=10)
        cls.driver.get(ARGS.url)
        cls.wait_ready(cls)
        cls.first_tile_ms = cls.driver.execute_script("return document.body.dataset.firstTileMs")
        cls.tile_times = cls.driver.execute_script(
            "return Array.from(document.querySelectorAll('[data-tile]'))"
            ".map(t => [t.dataset.tile, t.dataset.method, t.dataset.ms])")
        os.makedirs(os.path.dirname(os.path.abspath(ARGS.screenshot)), exist_ok=True)
        cls.driver.save_screenshot(ARGS.screenshot)

    @classmethod
    def tearDownClass(cls):
        if cls.driver:
            cls.driver.quit()
        cls.db.close()

    # ---- helpers ----

    def wait_ready(self):
        body = self.driver.find_element(By.TAG_NAME, "body")
        try:
            WebDriverWait(self.driver, ARGS.timeout).until(
                lambda d: body.get_attribute("data-ready") in ("true", "error"))
        except TimeoutException:
            raise AssertionError("the dashboard did not complete within %d s" % ARGS.timeout)
        state = body.get_attribute("data-ready")
        if state != "true":
            banner = self.driver.find_element(By.ID, "banner").text
            raise AssertionError("the dashboard failed: " + banner)

    def restart_and_wait(self, action):
        # The page resets the marker itself, but only after the click's handler has returned.
        self.driver.execute_script("document.body.dataset.ready = 'pending'")
        action()
        self.wait_ready()

    def tile(self, name):
        return self.driver.find_element(By.CSS_SELECTOR, '[data-tile="%s"]' % name)

    def rows(self, name):
        return [(r.get_attribute("data-value"), int(r.get_attribute("data-count")))
                for r in self.tile(name).find_elements(By.CSS_SELECTOR, "[data-value]")]

    def top(self):
        return int(self.driver.find_element(By.ID, "top").get_attribute("value"))

    def sql_counts(self, tile, column, where="", params=()):
        element = self.tile(tile)
        time_from, time_till = element.get_attribute("data-time-from"), element.get_attribute("data-time-till")
        self.assertTrue(time_from and time_till, tile + " reports no time range")
        sql = ('SELECT "%s", COUNT(*) FROM AuditRecords WHERE "When" >= ? AND "When" < ? %s '
               'GROUP BY 1 ORDER BY 2 DESC' % (column, where))
        return self.db.execute(sql, (unix(time_from), unix(time_till)) + tuple(params)).fetchall()

    def assert_tile_matches(self, tile, column, where="", params=()):
        """Every row's count is the database's, and the rows are the top N (ties may come in any order)."""
        page = self.rows(tile)
        expected = self.sql_counts(tile, column, where, params)
        counts = dict(expected)
        for value, count in page:
            self.assertEqual(counts.get(value), count, "%s: %r" % (tile, value))
        self.assertEqual([c for _, c in page], [c for _, c in expected[:self.top()]], tile)
        return page

    # ---- tests ----

    def test_1_every_tile_drawn_and_by_who_matches_the_database(self):
        for name in TILES:
            self.assertEqual(self.tile(name).get_attribute("data-status"), "1", name)
        self.assertIn(self.tile("ChangesByWho").get_attribute("data-method"), ("fast", "standard"))
        page = self.assert_tile_matches("ChangesByWho", "Who")
        self.assertTrue(page, "ChangesByWho has no rows")
        self.assert_tile_matches("RemovalsByWho", "Who", 'AND "What_Action" = ?', (REMOVED_ACTION,))

    def test_2_clicking_a_row_filters_the_dashboard(self):
        row = self.tile("ChangesByWho").find_elements(By.CSS_SELECTOR, "[data-value]")[1]
        who = row.get_attribute("data-value")
        self.restart_and_wait(row.click)
        chips = self.driver.find_elements(By.CSS_SELECTOR, "#filter-list .chip")
        self.assertEqual([(c.get_attribute("data-column"), c.get_attribute("data-value")) for c in chips],
                         [("Who", who)])
        self.assertEqual([v for v, _ in self.rows("ChangesByWho")], [who])
        self.assert_tile_matches("ChangesByAction", "What_Action", 'AND "Who" = ?', (who,))
        # The preset of RemovalsByWho is joined with the filter, not replaced by it.
        self.assert_tile_matches("RemovalsByWho", "Who", 'AND "Who" = ? AND "What_Action" = ?', (who, REMOVED_ACTION))

        # A second filter on another column narrows further (AND).
        action_row = self.tile("ChangesByAction").find_elements(By.CSS_SELECTOR, "[data-value]")[0]
        action = action_row.get_attribute("data-value")
        self.restart_and_wait(action_row.click)
        self.assert_tile_matches("ChangesByWhere", "Where", 'AND "Who" = ? AND "What_Action" = ?', (who, action))

        self.restart_and_wait(self.driver.find_element(By.ID, "filters-clear").click)
        self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, "#filter-list .chip"))
        self.assertGreater(len(self.rows("ChangesByWho")), 1)

    def test_3_html_in_a_value_is_shown_as_text(self):
        request = self.driver.execute_script("return JSON.parse(document.getElementById('request-json').value)")
        time_range = next(c for c in request["children"] if c.get("name") == "TimeRange")
        with self.db:
            template = self.db.execute('SELECT * FROM AuditRecords ORDER BY "Id" DESC LIMIT 1').fetchone()
            columns = [d[0] for d in self.db.execute("SELECT * FROM AuditRecords LIMIT 0").description]
            values = dict(zip(columns, template))
            values.update({"When": unix(time_range["attributes"]["TimeTill"]) - 60, "Who": HTML_WHO})
            del values["Id"]
            names = ", ".join('"%s"' % c for c in values)
            self.db.execute("INSERT INTO AuditRecords (%s) VALUES (%s)" % (names, ", ".join("?" * len(values))),
                            tuple(values.values()))
        try:
            # Filter the dashboard on that account through the request editor: one sub-request, one row.
            request["children"] = [c for c in request["children"] if c.get("name") != "Conditions"]
            request["children"].append({"type": "ConditionsRoot", "name": "Conditions", "children": [
                {"type": "Condition", "attributes": {"operator": "IN"}, "children": [
                    {"type": "ConditionValues", "attributes": {"Columnn": "Who", "Values:strs": [HTML_WHO]}}]}]})
            self.driver.find_element(By.CSS_SELECTOR, "details.raw summary").click()
            self.driver.execute_script("document.getElementById('request-json').value = arguments[0]",
                                       json.dumps(request))
            self.restart_and_wait(self.driver.find_element(By.ID, "request-send").click)
            self.assertEqual(self.rows("ChangesByWho"), [(HTML_WHO, 1)])
            label = self.tile("ChangesByWho").find_element(By.CSS_SELECTOR, ".bar-label")
            self.assertEqual(label.text, HTML_WHO)
            self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, "#tiles img"))
            self.assertIsNone(self.driver.execute_script("return document.body.dataset.injected"))
        finally:
            with self.db:
                self.db.execute('DELETE FROM AuditRecords WHERE "Who" = ?', (HTML_WHO,))


def quit_on_term(signum, _frame):
    # A runner that gives up sends SIGTERM: take the browser and its driver down too.
    if DashboardPage.driver is not None:
        try:
            DashboardPage.driver.quit()
        except Exception:
            pass
    os._exit(128 + signum)


def main():
    global ARGS
    signal.signal(signal.SIGTERM, quit_on_term)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="the page, e.g. http://127.0.0.1:8080/")
    parser.add_argument("--data-dir", required=True, help="the data directory serve runs on")
    parser.add_argument("--screenshot", default="build/dashboard.png")
    parser.add_argument("--timeout", type=int, default=60, help="seconds to wait for a dashboard")
    ARGS, rest = parser.parse_known_args()
    if not os.path.isfile(os.path.join(ARGS.data_dir, "reporting.db")):
        parser.error("no reporting.db in " + ARGS.data_dir)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    if DashboardPage.driver is not None:
        print("firstTileMs: %s" % DashboardPage.first_tile_ms)
        for name, method, ms in DashboardPage.tile_times or []:
            print("  %-20s %-8s %s ms" % (name, method, ms))
        print("screenshot: " + ARGS.screenshot)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
