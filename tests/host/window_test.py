#!/usr/bin/python3
"""zorva --window on a virtual display (X11, or with --wayland a headless
Wayland compositor), against the scripted helper, read as a screen reader
reads it (AT-SPI): a call's finals from both sides and the partial that comes
before one, the state line, keep above, pause and resume, the remembered text
size, and a clean end when the window is closed (X11) or on SIGTERM
(Wayland). On X11 it saves a screenshot to ARTIFACTS/window.png.

    window_test.py ZORVA FAKE_HELPER ARTIFACTS [--wayland]

With --live as FAKE_HELPER: the real helper beside ZORVA, on a private
PulseAudio server where a conferencing app holds the microphone and plays
the far side's sentence, which must appear in the window as "Them".

Exits 77 (skipped) when Xvfb and ImageMagick's import (or weston),
dbus-run-session or pyatspi (or, live, PulseAudio or flite) is missing, unless
ZORVA_REQUIRE_SERVERS=1.
"""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

SKIPPED = 77


def outer(zorva, fake, artifacts, wayland):
    tools = ["dbus-run-session"] + (["weston"] if wayland else ["Xvfb", "import"])
    if fake == "--live":
        tools += ["pulseaudio", "pactl", "paplay", "parecord", "flite"]
    missing = [t for t in tools if not shutil.which(t)]
    for module, package in (("pyatspi", "python3-pyatspi"), ("Xlib", "python3-xlib")):
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        print("needs " + ", ".join(missing))
        sys.exit(1 if os.environ.get("ZORVA_REQUIRE_SERVERS") == "1" else SKIPPED)
    env = dict(os.environ, GSK_RENDERER="cairo", NO_AT_BRIDGE="0", GTK_A11Y="atspi")
    # GTK's own allocations are not ours to check for leaks.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    runtime = tempfile.mkdtemp(prefix="zorva-display-")
    if wayland:
        # A headless compositor of our own.
        env.pop("DISPLAY", None)
        env.update(XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="wayland-zorva", GDK_BACKEND="wayland",
                   ZORVA_TEST_WAYLAND="1")
        server = subprocess.Popen(["weston", "--backend=headless-backend.so",
                                   "--socket=wayland-zorva", "--idle-time=0"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(lambda: os.path.exists(f"{runtime}/wayland-zorva"), 10)
    else:
        # A display of our own, numbered by Xvfb itself: it writes the number
        # once it accepts connections, so two of these tests never share one
        # and GTK never meets a display that is not up yet.
        ready, ready_w = os.pipe()
        server = subprocess.Popen(["Xvfb", "-displayfd", str(ready_w), "-screen", "0",
                                   "900x700x24", "-nolisten", "tcp"], pass_fds=(ready_w,),
                                  stderr=subprocess.DEVNULL)
        os.close(ready_w)
        try:
            display = read_line(ready, 20)
        finally:
            os.close(ready)
        if not display:
            server.kill()
            server.wait()
            print("Xvfb did not start")
            sys.exit(1)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(DISPLAY=f":{display}", GDK_BACKEND="x11")
    try:
        step = "--live-inner" if fake == "--live" else "--inner"
        code = subprocess.run(["dbus-run-session", "--", sys.executable, __file__, step,
                               zorva, fake, artifacts], env=env).returncode
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(runtime, ignore_errors=True)
    sys.exit(code)


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


def zorva_app():
    import pyatspi
    for a in pyatspi.Registry.getDesktop(0):
        if a is not None and a.name == "zorva":
            return a
    return None


def text_of(acc):
    return acc.queryText().getText(0, -1)


def read_line(fd, seconds):
    """The first line written to `fd`, stripped ("" if none within `seconds`)."""
    got, deadline = b"", time.monotonic() + seconds
    while b"\n" not in got and time.monotonic() < deadline:
        if select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(fd, 64)
            if not chunk:
                break
            got += chunk
    return got.split(b"\n")[0].decode().strip() if b"\n" in got else ""


def poll(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            got = predicate()
            if got:
                return got
        except Exception:
            pass
        time.sleep(0.1)
    return None


FAR = "please remember to send the quarterly report by friday"
FAR_KEYWORDS = {"remember", "send", "quarterly", "report", "friday"}


def close_window(title):
    """Asks the X11 window with `title` to close, as its close button does."""
    from Xlib import X, display, protocol
    d = display.Display()

    def search(window):
        if window.get_wm_name() == title:
            return window
        for child in window.query_tree().children:
            got = search(child)
            if got:
                return got
        return None
    window = search(d.screen().root)
    protocols, delete = d.intern_atom("WM_PROTOCOLS"), d.intern_atom("WM_DELETE_WINDOW")
    window.send_event(protocol.event.ClientMessage(window=window, client_type=protocols,
                                                   data=(32, [delete, X.CurrentTime, 0, 0, 0])))
    d.flush()


def live_inner(zorva, _, artifacts):
    """The real helper and a call on a private PulseAudio server."""
    work = tempfile.mkdtemp(prefix="zorva-window-live-")
    server = apps = zorva_run = None
    try:
        with open(f"{work}/default.pa", "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 "
                    f"socket={work}/native\n"
                    "load-module module-null-sink sink_name=speakers\n"
                    "load-module module-null-sink sink_name=micsink\n"
                    # A microphone, as a monitor is not one.
                    "load-module module-remap-source master=micsink.monitor "
                    "source_name=virtmic\n"
                    "set-default-sink speakers\nset-default-source virtmic\n")
        audio = dict(os.environ, PULSE_SERVER=f"unix:{work}/native", HOME=work,
                     PULSE_RUNTIME_PATH=f"{work}/runtime")
        server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--realtime=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "-F", f"{work}/default.pa",
             f"--log-target=file:{work}/server.log"], env=audio)
        if not poll(lambda: subprocess.run(["pactl", "info"], env=audio,
                                           capture_output=True).returncode == 0, 10):
            print("FAILED: the private audio server did not start")
            return 1
        subprocess.run(["flite", "-voice", "slt", "-t", FAR, "-o", f"{work}/said.wav"], check=True)
        # Two seconds of silence first: the tap hears a new stream once its
        # monitor is open.
        with wave.open(f"{work}/said.wav") as said, wave.open(f"{work}/far.wav", "wb") as far:
            far.setparams(said.getparams())
            far.writeframes(b"\0" * (2 * said.getframerate() * said.getsampwidth()))
            far.writeframes(said.readframes(said.getnframes()))
        os.makedirs(f"{work}/cfg/zorva")
        with open(f"{work}/cfg/zorva/config.json", "w") as f:
            json.dump({"extraApps": [{"name": "Conf", "bundlePrefixes": ["org.example."]}],
                       "micHoldMs": 500}, f)
        log = open(f"{work}/stderr", "w")
        zorva_run = subprocess.Popen(
            [zorva, "--window", "--no-notifications", "--out", f"{work}/out"],
            env=dict(audio, XDG_CONFIG_HOME=f"{work}/cfg"), stdout=log, stderr=log)
        captions = poll(lambda: find(zorva_app(), "text", "Captions"), 20)
        # The call: the app holds the microphone, then the far side speaks.
        conf = dict(audio, PULSE_PROP="application.id=org.example.conf application.name=Conf")
        apps = [subprocess.Popen(["parecord", "--device=virtmic", "/dev/null"],
                                 env=conf)]
        # Captured once the transcript is named; the tap needs a moment more.
        shown = poll(lambda: find(zorva_app(), "push button", "Open transcript")
                     .getState().contains(__import__("pyatspi").STATE_SENSITIVE), 30)
        if not shown:
            print("FAILED: the window never showed the call's capture")
        time.sleep(1.5)
        subprocess.run(["paplay", "--device=speakers", f"{work}/far.wav"], env=conf)
        heard = poll(lambda: len(FAR_KEYWORDS & set(
            text_of(captions).lower().replace(".", " ").split())) >= 3 and
            "Them:" in text_of(captions), 30)
        final = text_of(captions) if captions else ""
        notes = []

        def labels(acc):
            if acc is None:
                return
            if acc.getRoleName() == "label":
                notes.append(acc.name)
            for i in range(acc.childCount):
                labels(acc.getChildAtIndex(i))
        labels(zorva_app())
        subprocess.run(["import", "-window", "root", f"{artifacts}/window-live.png"])
        zorva_run.send_signal(signal.SIGTERM)
        status = zorva_run.wait(timeout=30)
        log.close()
        ok = bool(shown and heard and status == 0)
        if not ok:
            print(f"FAILED: the far side in the window as Them: {final!r}, status {status}; "
                  f"the window said {notes}")
            print(open(f"{work}/stderr").read()[-3000:])
        print(f"live window test: {'passed' if ok else 'failed'}; window: {final!r}")
        return 0 if ok else 1
    finally:
        for p in (apps or []) + [zorva_run, server]:
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


def inner(zorva, fake, artifacts):
    wayland = os.environ.get("ZORVA_TEST_WAYLAND") == "1"
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

    app = zorva_app

    def wait(what, predicate, seconds=20):
        got = poll(predicate, seconds)
        check(got is not None, "timed out waiting for " + what)
        return got

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

        def size(acc):
            box = acc.queryComponent().getExtents(0)  # screen coordinates
            return (box.x, box.y, box.width, box.height)
        layout = size(captions), size(partial) if partial else None
        if not wayland:
            shot = subprocess.run(["import", "-window", "root", f"{artifacts}/window.png"])
            check(shot.returncode == 0, "a screenshot of the window")
        # Keeping the window above can be asked of an X11 window manager
        # only; on Wayland the control says where to find it instead.
        above = find(app(), "check box", "Keep above")
        check(above is not None and
              above.getState().contains(__import__("pyatspi").STATE_SENSITIVE) != wayland,
              "keep above offered on X11 only")
        wait("both finals", lambda: "You: Good morning." in text_of(captions))
        shown = text_of(captions)
        check("Them: Hello there *friends*." in shown, f"the others' final: {shown!r}")
        check(shown.index("Them: Hello") < shown.index("You: Good"), "finals in order")
        you_at = shown.index("You: Good")
        attrs, _, _ = captions.queryText().getAttributeRun(you_at, False)
        check("weight:700" in attrs, f"the speaker's name stands out: {attrs}")
        check(find(app(), "label", "Them: hello there") is None, "the final replaced the partial")
        # The same line, now blank, where it was, as are the finals.
        check((size(captions), size(partial) if partial else None) == layout,
              f"nothing moved when the partial went: {layout}")
        check(wait("the state line", lambda: state_line().startswith("Conf · 00:")) is not None,
              "state line names the app and the time")
        path = find(app(), "push button", "Open transcript")
        check(path is not None and path.getState().contains(__import__("pyatspi").STATE_SENSITIVE),
              "the transcript can be opened")

        # Pause: the session stops; resume: a new one for the call.
        pause = find(app(), "toggle button", "Pause") or find(app(), "push button", "Pause")
        check(pause is not None, "a pause button")
        if pause is not None:
            pause.queryAction().doAction(0)
            wait("the stop", lambda: '"type":"stop"' in open(f"{work}/log").read())
            check(wait("paused", lambda: state_line() == "Captions paused") is not None,
                  "paused: said so, no call shown")
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

        # Closing the window as a window manager asks (X11), or SIGTERM: the
        # session is saved, zorva ends.
        time.sleep(1)
        if wayland:
            zorva_run.send_signal(signal.SIGTERM)
        else:
            close_window("Zorva captions")
        check(zorva_run.wait(timeout=20) == 0, "zorva ends with status 0")
        transcripts = sorted(os.listdir(f"{work}/out"))
        check(len(transcripts) == 2, f"two transcripts, one per session: {transcripts}")
        last = open(f"{work}/out/{transcripts[-1]}").read() if transcripts else ""
        check("Stopped by the user" in last, "the second transcript was closed: " + last[-200:])
        said = open(f"{work}/stderr").read()
        check("Captions paused." in said and "Transcript saved:" in said,
              "the notes are also plain lines on standard output")
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
    print(f"window test: {len(failures)} failures" +
          ("" if wayland else f"; screenshot {artifacts}/window.png"))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    if sys.argv[1] == "--inner":
        inner(*sys.argv[2:5])
    elif sys.argv[1] == "--live-inner":
        sys.exit(live_inner(*sys.argv[2:5]))
    else:
        os.makedirs(sys.argv[3], exist_ok=True)
        outer(*sys.argv[1:4], wayland="--wayland" in sys.argv[4:])
