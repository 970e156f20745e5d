#!/usr/bin/python3
"""zorva --window on a virtual display, against the scripted helper, read as a
screen reader reads it (AT-SPI): a call's finals from both sides and the
partial that comes before one, the state line, pause and resume, the remembered text size, and
a clean end on SIGTERM. Saves a screenshot to ARTIFACTS/window.png.

    window_test.py ZORVA FAKE_HELPER ARTIFACTS

Exits 77 (skipped) when Xvfb, dbus-run-session, ImageMagick's import or
pyatspi is missing, unless ZORVA_REQUIRE_SERVERS=1.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIPPED = 77


def outer(zorva, fake, artifacts):
    missing = [t for t in ("Xvfb", "dbus-run-session", "import") if not shutil.which(t)]
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        missing.append("python3-pyatspi")
    if missing:
        print("needs " + ", ".join(missing))
        sys.exit(1 if os.environ.get("ZORVA_REQUIRE_SERVERS") == "1" else SKIPPED)
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "900x700x24",
                             "-nolisten", "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    display = os.read(r, 16).decode().strip()
    os.close(r)
    try:
        env = dict(os.environ, DISPLAY=":" + display, GDK_BACKEND="x11", GSK_RENDERER="cairo",
                   NO_AT_BRIDGE="0", GTK_A11Y="atspi")
        env.pop("WAYLAND_DISPLAY", None)
        # GTK's own allocations are not ours to check for leaks.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        code = subprocess.run(["dbus-run-session", "--", sys.executable, __file__, "--inner",
                               zorva, fake, artifacts], env=env).returncode
    finally:
        xvfb.terminate()
        xvfb.wait()
    sys.exit(code)


def inner(zorva, fake, artifacts):
    import pyatspi

    work = tempfile.mkdtemp(prefix="zorva-window-")
    shutil.copy(zorva, f"{work}/zorva")
    shutil.copy(fake, f"{work}/zorva-helper")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{work}/cfg", ZORVA_FAKE_LOG=f"{work}/log",
               ZORVA_FAKE_PLAN="hold", ZORVA_FAKE_PAUSE="2")
    log = open(f"{work}/stderr", "w")
    zorva_run = subprocess.Popen([f"{work}/zorva", "--window", "--no-notifications",
                                  "--out", f"{work}/out"], env=env, stdout=log, stderr=log)
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED: " + what)

    def find(root, role, name=None):
        if root is None:
            return None
        try:
            if root.getRoleName() == role and (name is None or root.name == name):
                return root
            for i in range(root.childCount):
                got = find(root.getChildAtIndex(i), role, name)
                if got:
                    return got
        except Exception:
            pass
        return None

    def app():
        for a in pyatspi.Registry.getDesktop(0):
            if a is not None and a.name == "zorva":
                return a
        return None

    def text_of(acc):
        t = acc.queryText()
        return t.getText(0, -1)

    def wait(what, predicate, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                got = predicate()
                if got:
                    return got
            except Exception:
                pass
            time.sleep(0.1)
        check(False, "timed out waiting for " + what)
        return None

    def state_line():
        frame = find(app(), "frame", "Zorva captions")
        top = frame.getChildAtIndex(0).getChildAtIndex(0)
        return top.getChildAtIndex(0).name

    try:
        captions = wait("the captions", lambda: find(app(), "text", "Captions"))
        if captions is None:
            raise SystemExit(1)
        # The others' partial, on its own greyed line below the finals,
        # before their final.
        partial = wait("the others' partial", lambda: find(app(), "label", "Them: hello there"))
        check(partial is not None and "hello" not in text_of(captions),
              "the partial is apart from the finals")
        subprocess.run(["import", "-window", "root", f"{artifacts}/window.png"], check=False)
        wait("both finals", lambda: "You: Good morning." in text_of(captions))
        shown = text_of(captions)
        check("Them: Hello there *friends*." in shown, f"the others' final: {shown!r}")
        check(shown.index("Them: Hello") < shown.index("You: Good"), "finals in order")
        you_at = shown.index("You: Good")
        attrs, _, _ = captions.queryText().getAttributeRun(you_at, False)
        check("weight:700" in attrs, f"the speaker's name stands out: {attrs}")
        check(find(app(), "label", "Them: hello there") is None, "the final replaced the partial")
        check(wait("the state line", lambda: state_line().startswith("Conf · 00:")) is not None,
              "state line names the app and the time")
        path = find(app(), "push button", "Open transcript")
        check(path is not None and path.getState().contains(pyatspi.STATE_SENSITIVE),
              "the transcript can be opened")

        # Pause: the session stops; resume: a new one for the call.
        pause = find(app(), "toggle button", "Pause") or find(app(), "push button", "Pause")
        check(pause is not None, "a pause button")
        if pause is not None:
            pause.queryAction().doAction(0)
            wait("the stop", lambda: '"type":"stop"' in open(f"{work}/log").read())
            check(wait("waiting again", lambda: state_line() == "Waiting for a call") is not None,
                  "paused: no call shown")
            resume = wait("resume", lambda: find(app(), "toggle button", "Resume") or
                          find(app(), "push button", "Resume"))
            if resume is not None:
                resume.queryAction().doAction(0)
                wait("a second start",
                     lambda: open(f"{work}/log").read().count('"type":"start"') == 2)

        # The text size is remembered.
        size = find(app(), "spin button", "Text size")
        check(size is not None, "a text size control")
        if size is not None:
            size.queryValue().currentValue = 26
            wait("the size in the config file", lambda: json.load(
                open(f"{work}/cfg/zorva/config.json")).get("textSize") == 26)

        # SIGTERM (as closing the window): the session is saved, zorva ends.
        time.sleep(1)
        zorva_run.send_signal(signal.SIGTERM)
        check(zorva_run.wait(timeout=20) == 0, "zorva ends with status 0")
        transcripts = sorted(os.listdir(f"{work}/out"))
        check(len(transcripts) == 2, f"two transcripts, one per session: {transcripts}")
        last = open(f"{work}/out/{transcripts[-1]}").read() if transcripts else ""
        check("Stopped by the user" in last, "the second transcript was closed: " + last[-200:])
        first = open(f"{work}/out/{transcripts[0]}").read() if transcripts else ""
        check("Paused by the user" in first, "the first transcript says it was paused")
    finally:
        if zorva_run.poll() is None:
            zorva_run.kill()
            zorva_run.wait()
        log.close()
        if failures:
            print(open(f"{work}/stderr").read()[-3000:])
        shutil.rmtree(work, ignore_errors=True)
    print(f"window test: {len(failures)} failures; screenshot {artifacts}/window.png")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    if sys.argv[1] == "--inner":
        inner(*sys.argv[2:5])
    else:
        os.makedirs(sys.argv[3], exist_ok=True)
        outer(*sys.argv[1:4])
