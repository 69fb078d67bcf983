"""Opens a batch's report.html in headless Chromium and checks it as a person would use it.

    check_report.py REPORT.html BAD_ID

Checks: no console errors while the page loads and is used; every thumbnail loads; a click
on the cost column sorts the rows by cost (a second click reverses them); the bad subject
is marked and listed first as the page opens. Exit 77 (a skip) where the browser or its
driver cannot be started, 1 on a failed check.
"""
import os
import sys
import time

SKIP = 77


def skip(why):
    print(f"SKIP: {why}")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    skip("python3-selenium is not installed (apt-get install chromium chromium-driver python3-selenium)")

DRIVER = "/usr/bin/chromedriver"


def start():
    if not os.path.exists(DRIVER):
        skip(f"{DRIVER} is missing (apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1300,900"):
        options.add_argument(a)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    try:
        return webdriver.Chrome(service=Service(DRIVER), options=options)
    except Exception as e:  # no usable browser here: not the page's fault
        skip(f"headless Chromium does not start: {str(e).splitlines()[0] if str(e) else type(e).__name__}")


def main():
    page, bad = os.path.abspath(sys.argv[1]), sys.argv[2]
    failures = []
    driver = start()
    try:
        driver.get("file://" + page)
        rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#subjects tbody tr")
        ids = lambda: [r.find_element(By.CSS_SELECTOR, ".id").text for r in rows()]

        # The bad subject first, and marked.
        first = rows()[0]
        if ids()[0] != bad:
            failures.append(f"first row is {ids()[0]!r}, not the bad subject {bad!r}")
        if not ({"suspect", "failed"} & set((first.get_attribute("class") or "").split())):
            failures.append(f"the first row is not marked: class={first.get_attribute('class')!r}")

        # Every thumbnail loads (lazily: each is brought into view first).
        images = driver.find_elements(By.CSS_SELECTOR, "#subjects img")
        if len(images) < 2:
            failures.append(f"only {len(images)} thumbnails")
        for img in images:
            driver.execute_script("arguments[0].scrollIntoView();", img)
        deadline = time.time() + 20
        loaded = lambda i: driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth > 0;", i)
        while time.time() < deadline and not all(loaded(i) for i in images):
            time.sleep(0.2)
        for img in images:
            if not loaded(img):
                failures.append(f"thumbnail {img.get_attribute('src')} did not load")
            if img.get_attribute("loading") != "lazy":
                failures.append(f"thumbnail {img.get_attribute('src')} is not lazy")

        # Sorting by cost: ascending, then descending; the rows move.
        before = ids()
        headers = driver.find_elements(By.CSS_SELECTOR, "#subjects thead th")
        names = [h.text.strip() for h in headers]
        col = names.index("cost")
        keys = lambda: [r.find_elements(By.TAG_NAME, "td")[col].get_attribute("data-v") for r in rows()]

        def costs(direction):
            # Numbers in order, then the rows without a cost (failed), either way.
            k = keys()
            numbers = [float(x) for x in k if x != ""]
            if k != [x for x in k if x != ""] + [x for x in k if x == ""]:
                failures.append(f"rows without a cost not last: {k}")
            if numbers != sorted(numbers, reverse=direction < 0):
                failures.append(f"cost {'ascending' if direction > 0 else 'descending'}: {numbers}")
            return numbers

        headers[col].click()
        up = costs(1)
        headers[col].click()
        down = costs(-1)
        if before == ids() and up == down:
            failures.append("sorting by cost did not reorder the rows")

        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        for e in errors:
            failures.append(f"console: {e.get('message')}")
    finally:
        driver.quit()
    for f in failures:
        print("FAIL", f)
    if not failures:
        print("report page in Chromium: all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
