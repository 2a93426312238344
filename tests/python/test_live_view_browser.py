"""The live view in a real browser: headless Chromium driven by Selenium against servos on the
emulator. The page must load without console errors, its chart must follow the emulated
motion, STOP must reach every servo, control must be refused when it was not allowed, and
malformed requests must leave it serving. Writes the page's picture to
$JOINTBUS_BUILD/live-view.png. JOINTBUS_BUILD names the build folder (ctest sets it)."""

import math
import os
import shutil
import socket
import sys
import tempfile
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from emulators import BUILD, ServoEmulator, wait_for

sys.path.insert(0, os.path.join(BUILD, "python"))
import jointbus  # noqa: E402

IDS = (1, 2, 3)


def servo_rad(ticks):
    """The emulator's position register in the library's radians."""
    return math.radians(ticks * 0.088 - 180.0)


@pytest.fixture
def arm(tmp_path):
    # A short folder, so that the page's bus names read well in the picture.
    short = tempfile.mkdtemp(prefix="arm")
    link = os.path.join(short, "ttyGRIP")
    emu = ServoEmulator(link, ",".join(map(str, IDS)))
    entries = "".join(
        f"  - {{vendor: feetech, id: {i}, dev_name: {link}, baudrate: 1000000}}\n" for i in IDS)
    path = tmp_path / "arm.yaml"
    path.write_text("motor_init_para:\n" + entries)
    motors = jointbus.load_config(str(path))
    for m in motors:
        m.init()
        # The emulated goal register starts at 0: give each servo its middle to hold first.
        assert wait_for(lambda: _try(lambda: m.set_position(0.0)))
        m.enable()
    assert wait_for(lambda: all(emu.status(i).get("torque") == 1 for i in IDS))
    yield emu, motors
    jointbus.hold_and_disable(motors)
    emu.close()
    shutil.rmtree(short, ignore_errors=True)


def move(motor, goal):
    """Steps a servo to `goal` within its 10-degree filter, as a control loop would."""
    for _ in range(400):
        now = motor.position
        if abs(now - goal) < 0.02:
            return
        motor.set_position(now + max(-0.08, min(0.08, goal - now)))
        time.sleep(0.02)


def _try(call):
    try:
        call()
        return True
    except jointbus.MotorError:
        return False


@pytest.fixture
def browser(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-quic", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--window-size=1400,1100",
                 f"--user-data-dir={tmp_path / 'chromium'}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(30)
    yield driver
    driver.quit()


def open_page(driver, view):
    driver.get(view.url)
    assert wait_for(lambda: driver.execute_script(
        "return !!(window.jointbusView && window.jointbusView.ready())"))


def console_errors(driver, refused=()):
    """The console's errors, but for the refusals of the requests in `refused` (paths) that a
    test made on purpose."""
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE" and not any(
        f"/{path} - Failed to load resource: the server responded with a status of 403"
        in e["message"] for path in refused)]


def post_from_page(driver, path):
    """A POST from the page itself, with the token the page holds; the status it got."""
    return driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const token = document.querySelector('meta[name="jointbus-token"]').content;
        fetch(arguments[0], {method: 'POST', headers: {'X-Jointbus-Token': token}})
            .then(r => done(r.status), e => done(String(e)));""", path)


def raw_status(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        try:
            s.sendall(data)
        except OSError:
            return 0  # closed mid-request: an answer too
        reply = b""
        try:
            while b"\r\n" not in reply:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        except ConnectionResetError:
            return 0
    return int(reply[9:12]) if reply.startswith(b"HTTP/1.1 ") else 0


def test_the_page_follows_the_servos_refuses_control_and_stops_them(arm, browser, tmp_path):
    emu, motors = arm
    with jointbus.LiveView(motors) as view:
        assert view.url.startswith("http://127.0.0.1:")
        open_page(browser, view)
        assert console_errors(browser) == []
        cards = browser.find_elements(By.CSS_SELECTOR, "section.card h2")
        assert [c.text for c in cards] == [f"feetech {i} on {motors[0].bus}" for i in IDS]
        assert browser.find_elements(By.CSS_SELECTOR, ".controls") == [], "no control offered"

        # The chart's newest position follows the servo wherever it goes.
        for goal in (0.6, -0.4):
            move(motors[0], goal)
            assert wait_for(lambda: abs(servo_rad(emu.status(1)["pos"]) - goal) < 0.02)
            assert wait_for(lambda: abs(
                browser.execute_script("return window.jointbusView.lastPosition(0)") -
                servo_rad(emu.status(1)["pos"])) < 0.02), goal
        # Bus row: the port sent frames.
        assert wait_for(lambda: int(browser.find_element(
            By.CSS_SELECTOR, "#buses tbody td:nth-child(2)").text or "0") > 0)
        browser.save_screenshot(os.path.join(BUILD, "live-view.png"))

        # Control was not allowed: the page's own request is refused and nothing moves.
        assert post_from_page(browser, "api/motor/1/disable") == 403
        assert emu.status(2)["torque"] == 1

        # Malformed requests of many kinds: each gets a 4xx or a closed connection.
        kinds = [b"GARBAGE\r\n\r\n", b"GET / HTTP/9.9\r\nHost: 127.0.0.1\r\n\r\n",
                 b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                 b"POST /api/stop HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999\r\n\r\n",
                 b"POST /api/motor/0/target?value=nan HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                 b"GET /events HTTP/1.1\r\nHost: evil.example\r\n\r\n",
                 b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"]
        for i in range(100):
            status = raw_status(view.port, kinds[i % len(kinds)])
            assert status == 0 or 400 <= status < 500, (i, status)
        before = browser.execute_script("return window.jointbusView.lastPosition(0)")
        move(motors[0], 0.2)
        assert wait_for(lambda: abs(
            browser.execute_script("return window.jointbusView.lastPosition(0)") - 0.2) < 0.03), \
            ("the stream goes on after the malformed requests", before)

        # Pause freezes the chart; the samples on screen download as CSV.
        browser.execute_cdp_cmd("Browser.setDownloadBehavior",
                                {"behavior": "allow", "downloadPath": str(tmp_path)})
        browser.find_element(By.ID, "pause").click()
        frozen = browser.execute_script("return window.jointbusView.lastPosition(0)")
        move(motors[0], -0.2)
        assert wait_for(lambda: abs(servo_rad(emu.status(1)["pos"]) + 0.2) < 0.02)
        assert browser.execute_script("return window.jointbusView.lastPosition(0)") == frozen
        browser.find_element(By.ID, "csv").click()
        csv = tmp_path / "jointbus-live.csv"
        assert wait_for(csv.exists)
        rows = csv.read_text().splitlines()
        assert rows[0] == "t,family,bus,id,position,target,velocity,torque"
        assert {r.split(",")[3] for r in rows[1:]} == {"1", "2", "3"}
        browser.find_element(By.ID, "pause").click()

        # STOP: every servo's torque goes off.
        browser.find_element(By.ID, "stop").click()
        assert wait_for(lambda: all(emu.status(i)["torque"] == 0 for i in IDS))
        assert wait_for(lambda: browser.find_element(By.ID, "status").text ==
                        "stopped: every motor held and disabled")
        assert console_errors(browser, refused=["api/motor/1/disable"]) == []
    assert not view.serving


def test_control_moves_a_servo_when_allowed(arm, browser):
    emu, motors = arm
    with jointbus.LiveView(motors, control=True) as view:
        open_page(browser, view)
        assert len(browser.find_elements(By.CSS_SELECTOR, ".controls")) == len(IDS)
        assert post_from_page(browser, "api/motor/2/target?value=0.5") == 200
        assert wait_for(lambda: abs(servo_rad(emu.status(3)["pos"]) - 0.5) < 0.02)
        browser.find_elements(By.CSS_SELECTOR, ".controls button")[1].click()  # servo 1 off
        assert wait_for(lambda: emu.status(1)["torque"] == 0)
        assert emu.status(2)["torque"] == 1
        assert console_errors(browser) == []


def test_bad_arguments_raise(arm):
    _, motors = arm
    with pytest.raises(ValueError, match="rate_hz"):
        jointbus.LiveView(motors, rate_hz=500)
    with pytest.raises(ValueError, match="not an IPv4 or IPv6 address"):
        jointbus.LiveView(motors, address="somewhere")
    with jointbus.LiveView(motors) as view:
        with pytest.raises(ValueError, match="cannot serve on port"):
            jointbus.LiveView(motors, port=view.port)
