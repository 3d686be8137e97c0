#!/usr/bin/python3
"""The web console in a real browser: headless Chromium driven by Selenium against a real
zelko-mgmtd and zelko-diskd on loopback.

    console_browser_test.py --mgmtd BIN --diskd BIN --hosttool BIN [--screenshots DIR]

Checks: login (and a refused wrong password), adding an image and a PC through the forms, a
PC coming online while the driver (zelkovd-host machine: activation by MAC through
zelko-mgmtd, then its session on zelko-diskd) is running and going offline once it has ended,
super-user mode switched on and off with the state following on the page without a reload,
the super-user layer's size shown and its commit into the image (the image version rises),
names shown as text (no markup injection), a change request without or with a wrong
anti-CSRF token refused, an upload's progress in bytes and percent while a driver session
writes it, and the upload closed from the console. Writes a screenshot of every page to --screenshots.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as ChromeService
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

PASSWORD = "console-test-pw"
MAC = "AA-BB-CC-00-11-22"
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_file(path, proc, log):
    for _ in range(300):
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return json.load(open(path))
        if proc.poll() is not None:
            break
        time.sleep(0.1)
    raise RuntimeError("server did not start:\n" + open(log).read())


class Servers:
    def __init__(self, args, work):
        self.procs = []
        secret_file = os.path.join(work, "link-secret")
        with open(secret_file, "w") as f:
            f.write("console-test-link-secret\n")
        os.chmod(secret_file, 0o600)
        admin_port = free_port()
        env = dict(os.environ, ZELKO_ADMIN_PASSWORD=PASSWORD, ZELKO_LINK_SECRET="console-test-link-secret")
        self.mgmtd_log = os.path.join(work, "mgmtd.log")
        self.start([args.mgmtd, "serve", "--data-dir", os.path.join(work, "mgmtd"),
                    "--client-listen", "127.0.0.1:0", "--driver-listen", "127.0.0.1:0",
                    "--diskd-admin", f"http://127.0.0.1:{admin_port}",
                    "--ready-file", os.path.join(work, "mgmtd.ready")], env, self.mgmtd_log)
        ready = wait_file(os.path.join(work, "mgmtd.ready"), self.procs[-1], self.mgmtd_log)
        self.api = f"http://127.0.0.1:{ready['clientPort']}"
        drv = self.drv = ready["driverPort"]
        self.diskd_log = os.path.join(work, "diskd.log")
        self.start([args.diskd, "--listen", "127.0.0.1:0", "--admin-listen", f"127.0.0.1:{admin_port}",
                    "--data-dir", os.path.join(work, "diskd"), "--mgmt-url", f"http://127.0.0.1:{drv}",
                    "--link-secret-file", secret_file, "--image-poll", "1",
                    "--ready-file", os.path.join(work, "diskd.ready")], dict(os.environ), self.diskd_log)
        ready = wait_file(os.path.join(work, "diskd.ready"), self.procs[-1], self.diskd_log)
        self.disk = f"127.0.0.1:{ready['tcpPort']}"
        self.disk_port = ready["tcpPort"]

    def start(self, cmd, env, log):
        os.makedirs(os.path.dirname(log), exist_ok=True)
        self.procs.append(subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=open(log, "w")))

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def start_browser(work, chromedriver):
    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    # Nothing but loopback: no sandbox (root), no GPU, and none of the background traffic a
    # fresh profile would start towards outside hosts.
    for a in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-default-apps", "--disable-extensions", "--metrics-recording-only",
              "--no-default-browser-check", "--disable-features=Translate,OptimizationHints,MediaRouter",
              "--window-size=1280,900", "--lang=zh-CN",
              "--user-data-dir=" + os.path.join(work, "chromium-profile")]:
        opts.add_argument(a)
    return webdriver.Chrome(service=ChromeService(executable_path=chromedriver), options=opts)


PC_HIVE = r"""[\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0000]
"NetworkAddress"="AA-BB-CC-00-11-22"
"NetCfgInstanceId"="{6B0E4C1A-0000-4000-8000-00000000B007}"
[\Registry\Machine\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{6B0E4C1A-0000-4000-8000-00000000B007}]
"EnableDHCP"=dword:00000001
"""


def boot_pc(hosttool, servers, work, hold_ms):
    """Powers the PC on: the unmodified driver in zelkovd-host machine, with the PC's network
    adapter (its MAC) in the registry and the boot loader's block (server 127.0.0.1, the PC
    192.168.50.77/24) in physical memory. It activates by asking zelko-mgmtd by MAC, holds its
    session for hold_ms and unloads."""
    import struct
    hive = os.path.join(work, "pc01.reg")
    with open(hive, "w") as f:
        f.write(PC_HIVE)
    block = (b"KBRT" + struct.pack("<HH", 1, 1) +
             bytes([127, 0, 0, 1, 192, 168, 50, 77, 255, 255, 255, 0, 192, 168, 50, 1, 192, 168, 50, 2, 0, 0, 0, 0]) +
             bytes([0xAA, 0xBB, 0xCC, 0x00, 0x11, 0x22]) + bytes(26))
    cdir = os.path.join(work, "c")
    os.makedirs(cdir, exist_ok=True)
    reqs = [{"op": "scsi", "id": "mbr", "lun": 0, "cdb": "28000000000000000100", "in": 512},
            {"op": "wait", "event": "activated", "ms": 60000},
            {"op": "wait", "ms": hold_ms},
            {"op": "stop"}]
    p = subprocess.Popen([hosttool, "machine", "--hive", hive, "--boot-info", block.hex(),
                          "--param", "AutoActivateViaApi=1", "--param", "ApiServerIp=127.0.0.1",
                          "--param", f"ApiServerPort={servers.drv}", "--param", f"ServerPort={servers.disk_port}",
                          "--c-dir", cdir],
                         stdin=subprocess.PIPE, stdout=open(os.path.join(work, "boot.jsonl"), "w"),
                         stderr=open(os.path.join(work, "boot.err"), "w"))
    p.stdin.write("".join(json.dumps(r) + "\n" for r in reqs).encode())
    p.stdin.close()
    return p


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mgmtd", required=True)
    ap.add_argument("--diskd", required=True)
    ap.add_argument("--hosttool", required=True)
    ap.add_argument("--chromedriver", default=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    ap.add_argument("--screenshots", default="")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="zelko-console-")
    servers = Servers(args, work)
    browser = None
    runner = None
    try:
        browser = start_browser(work, args.chromedriver)
        # The page redraws its tables every few seconds: elements found a moment ago go stale,
        # so rows are read through the DOM in one script call and waits ignore stale elements.
        def waiter(timeout=15):
            return WebDriverWait(browser, timeout, ignored_exceptions=[StaleElementReferenceException])

        wait = waiter()
        css = lambda sel: browser.find_element(By.CSS_SELECTOR, sel)

        def text(sel):
            return browser.execute_script(
                "const e = document.querySelector(arguments[0]); return e ? e.textContent : null;", sel)

        def exists(sel):
            return text(sel) is not None

        def shot(name):
            if args.screenshots:
                os.makedirs(args.screenshots, exist_ok=True)
                browser.save_screenshot(os.path.join(args.screenshots, name + ".png"))

        def cell(row_sel, col):
            return text(f"{row_sel} td.{col}") or ""

        def wait_text(row_sel, col, want, timeout=15):
            waiter(timeout).until(lambda b: want in cell(row_sel, col))

        def fill(sel, value):
            e = css(sel)
            e.clear()
            e.send_keys(value)

        def click_row_action(row_sel, act, confirm=False):
            # One script call: found and clicked in the same redraw.
            browser.execute_script("document.querySelector(arguments[0]).click();",
                                   f'{row_sel} button[data-act="{act}"]')
            if confirm:
                wait.until(EC.alert_is_present()).accept()

        def tab(name):
            css(f'.tab[data-tab="{name}"]').click()
            wait.until(lambda b: css(f"#tab-{name}").is_displayed())

        def toast_text():
            wait.until(lambda b: css("#toast").is_displayed())
            return css("#toast").text

        # ---- login ----
        browser.get(servers.api + "/console/")
        wait.until(lambda b: css("#login-form").is_displayed())
        shot("console-login")
        fill("#login-user", "admin")
        fill("#login-password", "wrong-password")
        css("#login-submit").click()
        check("用户名或密码错误" in toast_text(), "a wrong password is refused with a message")
        fill("#login-password", PASSWORD)
        css("#login-submit").click()
        wait.until(lambda b: css("#app-view").is_displayed())
        check("admin" in css("#me").text, "logged in as admin")
        cookies = {c["name"]: c for c in browser.get_cookies()}
        ck = cookies.get("zelko_console", {})
        check(ck.get("httpOnly") is True and ck.get("sameSite") == "Strict", "session cookie is HttpOnly, SameSite=Strict")
        check(browser.execute_script("return document.cookie") == "", "scripts cannot read the session cookie")

        # ---- an image ----
        tab("images")
        fill("#image-name", "win10-games")
        fill("#image-size", "64M")
        css("#image-save").click()
        row_img = 'tr[data-image="win10-games"]'
        wait.until(lambda b: exists(row_img))
        check("64.0 MiB" in text(row_img), "the new image is listed with its size")
        version_before = int(text(f"{row_img} td:nth-child(4)"))

        # ---- a PC ----
        tab("clients")
        fill("#client-name", "pc01")
        fill("#client-mac", MAC)
        fill("#client-ip", "127.0.0.1")
        from selenium.webdriver.support.ui import Select
        Select(css("#client-image")).select_by_visible_text("win10-games")
        css("#client-save").click()
        row = 'tr[data-client="pc01"]'
        wait.until(lambda b: exists(row))
        check("win10-games" in text(row) and "127.0.0.1" in text(row), "the new PC is listed with its image")
        check("离线" in cell(row, "online"), "the PC starts offline")

        # A name is shown as text, never as markup.
        evil = '<img src=x id=injected>'
        fill("#client-name", evil)
        fill("#client-mac", "AA-BB-CC-00-11-33")
        fill("#client-ip", "")
        css("#client-save").click()
        wait.until(lambda b: b.execute_script(
            "return [...document.querySelectorAll('#clients-table td')].some((td) => td.textContent === arguments[0]);",
            evil))
        check(not browser.find_elements(By.ID, "injected"), "a PC name with markup is shown as text")

        # ---- online: the PC boots with the driver (zelkovd-host machine) ----
        # The driver loads, its activation thread finds the PC's image by MAC at zelko-mgmtd and
        # connects LUN 0 to zelko-diskd; the PC holds its session until the run ends.
        iqn = "iqn.2024-01.net.zelko:image.1"
        runner = boot_pc(args.hosttool, servers, work, hold_ms=9000)
        try:
            wait_text(row, "online", "在线", timeout=60)
            check("离线" not in cell(row, "online") and "推测" not in cell(row, "online"),
                  "the PC shows online while the driver holds its session (no reload)")
            check("普通" in cell(row, "online"), "the online PC's session mode is shown (%r)" % cell(row, "online"))
            shot("console-online")
        except Exception:
            check(False, "the PC shows online while the driver holds its session (got %r; %s)" %
                  (cell(row, "online"), open(os.path.join(work, "boot.err")).read()[-2000:]))
        rc = runner.wait(90)
        runner = None
        check(rc == 0, "the driver run ended cleanly (exit code %d)" % rc)
        boot = [json.loads(l) for l in open(os.path.join(work, "boot.jsonl")) if l.strip()]
        check(any(l.get("event") == "activated" and "op" not in l for l in boot), "the driver activated LUN 0")
        check(boot and boot[-1] == {"event": "unloaded", "leaks": []}, "the driver unloaded without leaks")
        try:
            wait_text(row, "online", "离线", timeout=15)
            check(True, "the PC goes offline once the driver run has ended")
        except Exception:
            check(False, "the PC goes offline once the driver run has ended (got %r)" % cell(row, "online"))

        # ---- super-user mode on: the page follows ----
        click_row_action(row, "super")
        wait_text(row, "super", "超级用户")
        check(True, "super-user mode switched on and shown")
        # The PC writes into its layer with the token its own lookup releases to it.
        lookup = json.load(urllib.request.urlopen(servers.api + "/api/disk/clients/by-mac/" + MAC))
        token = lookup.get("superUserToken", "")
        check(len(token) == 48, "the PC's lookup carries its super-user token")
        data = os.path.join(work, "data.bin")
        with open(data, "wb") as f:
            f.write(os.urandom(64 * 1024))
        w = subprocess.run([args.hosttool, "session", "--server", servers.disk, "--iqn", iqn,
                            "--client-id", "aabbcc001122", "--super-user", token,
                            "connect", "handshake", "write", "1048576", data, "disconnect"],
                           capture_output=True, text=True, timeout=60)
        check(w.returncode == 0, "the driver session wrote into the super-user layer")
        try:
            wait_text(row, "layer", "64.0 KiB")
            check(True, "the layer's size is shown")
            shot("console-clients")
        except Exception:
            check(False, "the layer's size is shown (got %r)" % cell(row, "layer"))

        # ---- commit the layer: super-user mode ends and the image version rises ----
        click_row_action(row, "commit", confirm=True)
        wait_text(row, "super", "普通")
        check(True, "committing the layer ends super-user mode")
        tab("images")
        try:
            waiter(30).until(lambda b: int(text(f"{row_img} td:nth-child(4)")) > version_before)
            check(True, "the committed layer raised the image version")
        except Exception:
            check(False, "the committed layer raised the image version")
        shot("console-images")

        # ---- the anti-CSRF token ----
        probe = """
            const done = arguments[arguments.length - 1];
            const body = JSON.stringify({name: "csrf-probe", macAddress: "AA-BB-CC-00-11-44"});
            const send = (h) => fetch("/api/disk/clients", {method: "POST", credentials: "same-origin",
                headers: Object.assign({"Content-Type": "application/json"}, h), body}).then((r) => r.status);
            Promise.all([send({}), send({"X-CSRF-Token": "0".repeat(64)})]).then(done);
        """
        statuses = browser.execute_async_script(probe)
        check(statuses == [403, 403], "a change without / with a wrong anti-CSRF token is refused (%r)" % statuses)
        tab("clients")
        time.sleep(3.5)  # one poll
        check(not exists('tr[data-client="csrf-probe"]'),
              "the refused request changed nothing")

        # ---- an upload's progress: the client program's upload session, written by a driver
        # session with the upload token, shown on the uploads page ----
        def post_json(path, body, token=""):
            req = urllib.request.Request(servers.api + path, data=json.dumps(body).encode(), method="POST",
                                         headers={"Content-Type": "application/json",
                                                  **({"Authorization": "Bearer " + token} if token else {})})
            return json.load(urllib.request.urlopen(req))
        bearer = post_json("/api/auth/disk/login", {"username": "admin", "password": PASSWORD})["accessToken"]
        up = post_json("/api/disk/images/upload-session", {"imageId": 1}, bearer)
        tab("uploads")
        row_up = f'tr[data-upload="{up["sessionId"]}"]'
        wait_text(row_up, "stage", "等待上传程序连接")
        # 64 KiB at the start and 64 KiB half-way into the 64 MiB image.
        writer = subprocess.Popen([args.hosttool, "session", "--server", servers.disk, "--iqn", iqn,
                                   "--super-user", up["uploadToken"], "connect", "handshake",
                                   "write", "0", data, "write", str(32 << 20), data, "sleep", "6000", "disconnect"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            wait_text(row_up, "stage", "正在写入")
            check("已连接" in text(row_up), "an upload being written is shown as such")
            wait_text(row_up, "progress-cell", "50%")
            prog = cell(row_up, "progress-cell")
            check("已写入 128.0 KiB" in prog and "位置 32.1 MiB / 64.0 MiB" in prog and "50%" in prog,
                  "the upload's progress shows bytes written and the position reached (%r)" % prog)
            width = browser.execute_script(
                "const e = document.querySelector(arguments[0]); return e ? e.style.width : null;",
                row_up + " .bar span")
            check(width == "50%", "the progress bar is drawn to the percentage (%r)" % width)
            shot("console-uploads")
        except Exception:
            check(False, "an upload being written is shown with its progress (got %r)" % text(row_up))
        check(writer.wait(60) == 0, "the upload session wrote into its layer")
        try:
            wait_text(row_up, "stage", "已写入")
            check(True, "the upload's layer is shown written once the writer is gone")
        except Exception:
            check(False, "the upload's layer is shown written once the writer is gone (got %r)" % text(row_up))
        # Closed from the console (an abandoned upload): the row goes, the disk server's layer too.
        click_row_action(row_up, "close", confirm=True)
        try:
            wait.until(lambda b: not exists(row_up))
            check(True, "an upload session is closed from the console")
        except Exception:
            check(False, "an upload session is closed from the console")
        st = json.load(urllib.request.urlopen(urllib.request.Request(
            servers.api + "/api/console/state", headers={"Authorization": "Bearer " + bearer})))
        check(st["uploads"] == [] and all(not l["clientKey"].startswith("upload-") for l in st["images"][0]["layers"]),
              "the closed upload's layer is gone at the disk server")

        # ---- the other pages ----
        tab("users")
        fill("#user-name", "operator1")
        fill("#user-password", "operator-pw-1")
        css("#user-save").click()
        wait.until(lambda b: exists('tr[data-user="operator1"]'))
        check(True, "an operator account was added")
        shot("console-users")
        css("#btn-password").click()
        wait.until(lambda b: css("#password-dialog").is_displayed())
        shot("console-password")
        css("#pw-cancel").click()
        # A phone-sized window.
        tab("clients")
        browser.set_window_size(390, 844)
        time.sleep(0.5)
        shot("console-phone")
        check(browser.execute_script("return document.documentElement.scrollWidth <= window.innerWidth + 1"),
              "the page fits a phone's width (tables scroll inside their frame)")
    finally:
        if runner and runner.poll() is None:
            runner.kill()
            runner.wait()
        if browser:
            browser.quit()
        servers.stop()
        if failures:
            print("server logs kept in " + work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    print("all console checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
