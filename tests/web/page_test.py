#!/usr/bin/env python3
"""The station's page in a real browser (Debian's chromium, driven through chromium-driver),
during a rehearsal with diagsim devices: the tiles are shown at load, a verdict appears in its
tile without a reload, and a serial number made of markup shows as text and runs nothing.

usage: page_test.py BUILD [SCREENSHOT]   (default BUILD/web/page.png)
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

MARKUP = "<img src=x onerror=alert(1)>"
SLOTS = ["1-8.1", "1-8.2", "1-8.3"]


def fail(text):
    print(f"web: {text}", file=sys.stderr)
    sys.exit(1)


def plug(build, root, slot, serial, extra=()):
    device = subprocess.Popen(
        [f"{build}/devicesim/diagsim", "--root", root, "--com", str(50 + SLOTS.index(slot)),
         "--usb-location", slot, "--usb-serial", serial, *extra],
        stdout=subprocess.PIPE, text=True)
    for line in device.stdout:
        if line.startswith("diagsim: serving COM"):
            return device
    fail(f"diagsim at {slot} did not start")


def tile(driver, slot):
    for t in driver.find_elements(By.CSS_SELECTOR, "#tiles .tile"):
        if t.get_attribute("data-slot") == slot:
            return t
    return None


def verdict(driver, slot):
    t = tile(driver, slot)
    return t.get_attribute("data-verdict") if t is not None else None


def check_nothing_ran(driver, where):
    if driver.find_elements(By.CSS_SELECTOR, "img"):
        fail(f"{where}: the serial number became an element")
    try:
        driver.switch_to.alert
        fail(f"{where}: the serial number ran a script")
    except NoAlertPresentException:
        pass
    if driver.execute_script("return window.alerted || 0") != 0:
        fail(f"{where}: the serial number ran a script")


def main():
    build = os.path.abspath(sys.argv[1])
    shot = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else f"{build}/web/page.png")
    base = tempfile.mkdtemp(prefix="linestation-web-")
    root, template, bin_folder = f"{base}/root", f"{base}/template", f"{base}/bin"
    for folder in (root, template, bin_folder):
        os.makedirs(folder)
    with open(f"{template}/KVX_nvitem.txt", "w") as f:
        f.write("NV20:11,22\nNV453:1\n")
    os.symlink(f"{build}/nvtool/itemsmith", f"{bin_folder}/itemsmith")
    station = subprocess.Popen(
        [f"{build}/station/linestation", "--continuous", "--itemsmith", "--template", template,
         "--programs", bin_folder, "--work", f"{base}/runs", "--csv", f"{base}/line.csv",
         "--http", "0"] + [a for s in SLOTS for a in ("--slot", s)],
        env={**os.environ, "DIAG_DEVICE_ROOT": root}, stdout=subprocess.PIPE, text=True)
    devices = []
    driver = None
    try:
        first = station.stdout.readline()
        if "http://" not in first:
            fail(f"the station printed no address: {first!r}")
        url = first[first.index("http://"):].strip()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--window-size=1280,760"):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        wait = WebDriverWait(driver, 60)

        driver.get(url)
        states = [tile(driver, s).get_attribute("data-state") if tile(driver, s) else None
                  for s in SLOTS]
        if states != ["waiting"] * len(SLOTS):
            fail(f"at load the tiles show {states}, not every slot waiting")
        driver.execute_script(
            "window.loadedOnce = true; window.alerted = 0; window.alert = () => window.alerted++;")

        devices.append(plug(build, root, SLOTS[0], MARKUP))
        devices.append(plug(build, root, SLOTS[1], "SN-0002", ["--ignore-nv-writes", "9"]))
        wait.until(lambda d: verdict(d, SLOTS[0]) == "PASS" and verdict(d, SLOTS[1]) == "FAIL")
        if driver.execute_script("return window.loadedOnce") is not True:
            fail("the page was reloaded")
        shown = tile(driver, SLOTS[0]).find_element(By.CSS_SELECTOR, ".serial").text
        if shown != MARKUP:
            fail(f"the tile shows {shown!r} for the serial number")
        if tile(driver, SLOTS[2]).get_attribute("data-state") != "waiting":
            fail("the empty slot does not show waiting")
        wait.until(lambda d: any(c.text == MARKUP
                                 for c in d.find_elements(By.CSS_SELECTOR, "#records td")))
        check_nothing_ran(driver, "live")

        # Loaded again, the page shows the station as it stands, from what the server put in.
        driver.get(url)
        if verdict(driver, SLOTS[0]) != "PASS" or verdict(driver, SLOTS[1]) != "FAIL":
            fail("a page loaded afresh does not show the verdicts at once")
        check_nothing_ran(driver, "at load")
        os.makedirs(os.path.dirname(shot), exist_ok=True)
        driver.save_screenshot(shot)
        print(f"web: the page shows the tiles, a verdict without a reload, and markup as text; "
              f"screenshot at {shot}")
    finally:
        if driver is not None:
            driver.quit()
        for device in devices:
            device.terminate()
            device.wait()
        station.send_signal(signal.SIGINT)
        station.wait(timeout=60)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
