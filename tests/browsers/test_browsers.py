"""Play links as real browsers hand them over. Debian's Chromium and Firefox ESR, headful under an
X server of the test's own, each open every link of the web guide and every seed link of the
fuzzer by a click on a page served from 127.0.0.1; a handler registered for the scheme in a home
folder of the test's own records what arrives. handed-over.json keeps what each browser handed
over, with its version; the Wine tests give those strings to the real launcher."""

import contextlib
import html
import http.server
import json
import os
import re
import signal
import subprocess
import tempfile
import threading
import time

import pytest

import guides
from play_links import KEPT, as_firefox_on_windows, encoded, kept, play_links

# With VELMORA_BROWSERS_RECORD=1, what the browsers hand over is written into handed-over.json.
RECORD = os.environ.get("VELMORA_BROWSERS_RECORD") == "1"
# Each link full-screen, one after the other: a click opens it and shows the next. The page says
# which it shows, also when the browser comes back to it from a page of its own. A playLink(...)
# call runs in the page, as a site's page runs it.
PAGE = """<!doctype html><meta charset="utf-8"><body>{anchors}
<style>a {{ display: none; position: fixed; inset: 0; background: #8c8 }} a.on {{ display: block }}</style>
<script>{function}
const links = document.querySelectorAll("a");
{calls}function show(i) {{
  sessionStorage.at = i;
  links.forEach((a, j) => a.className = i == j ? "on" : "");
  navigator.sendBeacon("/at/" + i);
}}
links.forEach((a, i) => a.addEventListener("click", () => show(i + 1)));
addEventListener("pageshow", () => {{ show(Number(sessionStorage.at || 0)); navigator.sendBeacon("/shown"); }});
</script>"""
# Firefox asks before it hands a link to another program, and Chromium before it does so for a
# site; the profiles of the test's own say not to.
FIREFOX = {"network.protocol-handler.external.velmor-player": True, "security.external_protocol_requires_permission": False,
           "network.protocol-handler.warn-external.velmor-player": False}
CHROMIUM = ["--no-first-run", "--no-default-browser-check", "--disable-background-networking", "--disable-sync",
            "--disable-component-update", "--disable-quic", "--disable-gpu", "--no-sandbox", "--window-size=800,600"]


class Desktop(http.server.ThreadingHTTPServer):
    """The page on 127.0.0.1, an X server, and a home folder whose handler of velmor-player: links
    records each link it is given. Every process it started ends with it."""

    def __init__(self, page):
        self.at, self.shown, self.processes, site = -1, 0, [], self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.end_headers()
                self.wfile.write(page.encode() if self.path == "/" else b"")

            def do_POST(self):
                site.shown += self.path == "/shown"
                site.at = int(self.path[4:]) if self.path.startswith("/at/") else site.at
                self.do_GET()

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url, self.home = f"http://127.0.0.1:{self.server_port}/", tempfile.mkdtemp(prefix="velmora-browser-")
        self.received = f"{self.home}/received"
        for name, text in {"record": f"#!/bin/sh\nprintf '%s\\0' \"$1\" >> {self.received}\n",
                           "applications/velmora.desktop": f"[Desktop Entry]\nType=Application\nExec={self.home}/record %u\n",
                           "mimeapps.list": "[Default Applications]\nx-scheme-handler/velmor-player=velmora.desktop\n"}.items():
            os.makedirs(os.path.dirname(f"{self.home}/{name}"), exist_ok=True)
            with open(f"{self.home}/{name}", "w") as file:
                file.write(text)
        os.chmod(f"{self.home}/record", 0o755)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "DBUS_", "LC_"))}
        self.env.update(HOME=self.home, LANG="C.UTF-8", XDG_CONFIG_HOME=self.home, XDG_DATA_HOME=self.home)
        read, write = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-nolisten", "tcp"], pass_fds=[write])
        os.close(write)
        with os.fdopen(read) as pipe:
            self.env["DISPLAY"] = ":" + pipe.readline().strip()

    def start(self, command, **options):
        self.processes.append(subprocess.Popen(command, env=self.env, start_new_session=True, stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options))

    def close(self):
        for process in self.processes:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        self.shutdown()
        subprocess.run(["rm", "-rf", self.home])

    def arrived(self):
        return open(self.received, "rb").read().split(b"\0")[:-1] if os.path.exists(self.received) else []

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True)

    def reopen(self):
        shown = self.shown
        self.xdotool("key", "ctrl+l", "sleep", "0.5", "type", "--delay", "20", self.url + "\n")
        return wait(lambda: self.shown > shown, 10)

    def click_through(self, names, before):
        """Clicks each link in turn: what arrived for each, or None where nothing arrived. A link
        that opens nothing where it opened something before stops the run."""
        handed = []
        assert wait(lambda: self.at == 0, 60), "the page never showed"
        for i, name in enumerate(names):
            seen = len(self.arrived())
            # A link apart from the last, never a double click; a page just shown may miss a click.
            for _ in range(5):
                self.xdotool("mousemove", str(200 + 400 * (i % 2)), "300", "click", "1")
                if wait(lambda: self.at == i + 1, 2):
                    break
            got = wait(lambda: len(self.arrived()) > seen, 1.5 if name in before and before[name] is None else 10)
            handed.append(self.arrived()[seen].decode() if got else None)
            assert got or RECORD or name in before and before[name] is None, f"{name} opens nothing now"
            if not got and i + 1 < len(names):  # the browser shows a page of its own: back to ours
                assert any(self.reopen() for _ in range(3)), f"the page never came back after {name}"
        return handed


def wait(done, seconds):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.02)
    return done()


def open_in(browser, desktop):
    profile = f"{desktop.home}/{browser}"
    os.makedirs(f"{profile}/Default")
    if browser == "chromium":
        with open(f"{profile}/Default/Preferences", "w") as file:
            json.dump({"protocol_handler": {"allowed_origin_protocol_pairs": {desktop.url[:-1]: {"velmor-player": True}}}}, file)
        desktop.start(["chromium", *CHROMIUM, f"--user-data-dir={profile}", desktop.url])
    else:
        with open(f"{profile}/user.js", "w") as file:
            file.writelines(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in FIREFOX.items())
        desktop.start(["firefox-esr", "--no-remote", "--profile", profile, "--width", "800", "--height", "600", desktop.url])


@pytest.mark.parametrize("browser", ["chromium", "firefox-esr"])
def test_browsers_hand_over_what_was_kept(browser):
    record = kept()
    before = record.get(browser, {}).get("handed over", {})
    # Where a browser opens nothing it may leave the page: those links last.
    rows = sorted(play_links(), key=lambda row: before.get(row[0], "") is None)
    anchors = "".join(f'<a href="{html.escape(link)}"></a>' if kind == "link" else "<a></a>" for _, kind, link in rows)
    calls = "".join(f"links[{i}].href = {call};\n" for i, (_, kind, call) in enumerate(rows) if kind == "call")
    desktop = Desktop(PAGE.format(anchors=anchors, calls=calls, function=guides.blocks("web.md", "js")[0]))
    try:
        open_in(browser, desktop)
        names = [name for name, _, _ in rows]
        handed = dict(zip(names, desktop.click_through(names, before)))
    finally:
        desktop.close()
    said = subprocess.run([browser, "--version"], capture_output=True, text=True).stdout
    if RECORD:
        KEPT.write_text(json.dumps(dict(record, **{browser: {"version": re.search(r"\d+(\.\d+)+", said)[0],
                                                           "handed over": handed}}), indent=1, ensure_ascii=False) + "\n")
    else:
        assert handed == before, f"{browser} {said.strip()} hands over other links than {record[browser]['version']} did:\n" \
            + "\n".join(f"{name}: {before.get(name)!r} then, {now!r} now" for name, now in handed.items() if before.get(name) != now)


# The web guide's playLink() writes links that both browsers hand over as written, and that
# Firefox on Windows hands over in a form the launcher gives back as written, for the guide's
# own calls and for harder ones; it throws for the links a browser would not open.
def test_play_links_reach_windows_as_written():
    calls = [(name, call) for name, kind, call in play_links() if kind == "call"]
    refused = '"\\0", "https://h/"', '"x".repeat(2000), "https://h/"'
    script = guides.blocks("web.md", "js")[0] + "".join(f"console.log({call});" for _, call in calls) + "".join(
        f"try {{ console.log(playLink({a})); }} catch (e) {{ console.log(e.name); }}" for a in refused)
    made = subprocess.run(["node", "-e", script], capture_output=True, text=True, check=True).stdout.splitlines()
    assert made[len(calls):] == ["RangeError"] * len(refused)
    for (name, _), link in zip(calls, made):
        handed = [kept()[browser]["handed over"][name] for browser in ("chromium", "firefox-esr")]
        assert handed + [encoded(as_firefox_on_windows(link))] == [link] * 3, name
