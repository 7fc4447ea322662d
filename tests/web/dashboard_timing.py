#!/usr/bin/python3
"""How long the dashboard page takes to draw its first tile, against a plain HTTP client in the same run.

Usage: /usr/bin/python3 tests/web/dashboard_timing.py --url http://127.0.0.1:PORT/ [--runs 15]

Each round refreshes the page's dashboard once and sends the very request the page sends once from Python
(one kept-alive connection: POST, then partial polls), alternating which goes first. Printed: the medians of
the page's firstTileMs and of each tile's time, and of the client's time to its first finished sub-response,
the floor the page is measured against.
"""
import argparse
import http.client
import json
import statistics
import sys
import time
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def status_of(node):
    attributes = node.get("attributes", {})
    return attributes.get("RetrieveStatus:i32")


def client_run(connection, request):
    """Milliseconds to the first finished sub-response and to the complete answer."""
    body = json.dumps(request)
    started = time.perf_counter()
    connection.request("POST", "/api/v1/requests", body, {"Content-Type": "application/json"})
    response = connection.getresponse()
    envelope = json.loads(response.read())
    if response.status != 201:
        raise RuntimeError("POST answered %d: %s" % (response.status, envelope.get("error")))
    first = None
    while True:
        answer = envelope["answer"]
        if first is None and any(c.get("type") == "RetrieveCountersSubResponse" and status_of(c) in (1, 2)
                                 for c in answer.get("children", [])):
            first = (time.perf_counter() - started) * 1000
        if status_of(answer) in (1, 2):
            return first, (time.perf_counter() - started) * 1000
        connection.request("GET", "/api/v1/requests/%s?partial=true" % envelope["token"])
        response = connection.getresponse()
        envelope = json.loads(response.read())
        if response.status != 200:
            raise RuntimeError("GET answered %d: %s" % (response.status, envelope.get("error")))


def page_run(driver, timeout):
    driver.execute_script("document.body.dataset.ready = 'pending'")
    driver.find_element(By.CSS_SELECTOR, "#editor button[type=submit]").click()
    WebDriverWait(driver, timeout).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") in ("true", "error"))
    result = driver.execute_script(
        "return {ready: document.body.dataset.ready, first: document.body.dataset.firstTileMs,"
        " tiles: Array.from(document.querySelectorAll('[data-tile]')).map(t => [t.dataset.tile, t.dataset.method, t.dataset.ms])}")
    if result["ready"] != "true":
        raise RuntimeError("the page failed: " + driver.find_element(By.ID, "banner").text)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--timeout", type=int, default=120)
    args = parser.parse_args()
    url = urllib.parse.urlsplit(args.url)

    opts = Options()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,800",
                "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE " + url.hostname):
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=args.timeout)
    page_first, client_first, client_total, tiles, methods = [], [], [], {}, set()
    try:
        driver.get(args.url)
        WebDriverWait(driver, args.timeout).until(
            lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") in ("true", "error"))
        for i in range(args.runs):
            def page():
                result = page_run(driver, args.timeout)
                page_first.append(float(result["first"]))
                for name, method, ms in result["tiles"]:
                    tiles.setdefault(name, []).append(float(ms))
                    methods.add(method)

            def client():
                request = json.loads(driver.find_element(By.ID, "request-json").get_attribute("value"))
                first, total = client_run(connection, request)
                client_first.append(first)
                client_total.append(total)

            for step in ((page, client) if i % 2 == 0 else (client, page)):
                step()
    finally:
        driver.quit()
        connection.close()

    median = statistics.median
    print("runs: %d, methods: %s" % (args.runs, ", ".join(sorted(m or "?" for m in methods))))
    print("client first result  %8.1f ms (median; min %.1f)" % (median(client_first), min(client_first)))
    print("client complete      %8.1f ms" % median(client_total))
    print("page firstTileMs     %8.1f ms (median; min %.1f)" % (median(page_first), min(page_first)))
    print("page - client first  %8.1f ms (median of the medians' difference)" % (median(page_first) - median(client_first)))
    for name, values in tiles.items():
        print("  %-20s %8.1f ms" % (name, median(values)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
