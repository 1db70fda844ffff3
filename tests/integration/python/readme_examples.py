"""Runs the README's marked examples as written, on ports of this run.

A block is marked by an HTML comment on the line before its fence:
    <!-- example: NAME [background] [fresh] -->
"background" blocks (the service, k2sim) keep running while the later ones
run; "fresh" stops every background process first. The other blocks must
end with status 0 within the deadline, and print what EXPECT names.

The README's ports, build folder and scratch folders are replaced by this
run's: 8100, 8121, 40000 and 41000.. by free ones, "build/" by K2_BUILD_DIR,
/tmp/kavor2 and /tmp/k2ports by folders of our own. Usage:
    readme_examples.py README BUILD_DIR SCRATCH_DIR
"""

import os
import re
import signal
import socket
import subprocess
import sys
import time

DEADLINE = 90.0  # a foreground block; generous for the sanitizer builds

# What a block must print (substrings of its stdout), by name.
EXPECT = {
    "methods": ["AddLine", "AddMessageSubscriber"],
    "subscriber": ["connected 0000000000A1", "data 0000000000A1 037A7B", "data 0000000000A3 037A7B"],
    "kavor2ctl": ["1.0.2.0", "(none)"],
    "watch": ["connected 0000000000A1", "data 0000000000A1 037A7B"],
    "serial-line": ["found 0000000000B1", "found 0000000000B2"],
    "stats": ["kavor2srv 1.0.2.0, pid ", "\nLines: ", "\nSubscribers: "],
}
# Background blocks whose TCP port must accept before the next block runs.
LISTENS = {"service": 8100, "service-serial": 8100, "service-again": 8100}


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_udp_run(count):
    """A base port with `count` consecutive free UDP ports above it."""
    for _ in range(200):
        base = 20000 + int.from_bytes(os.urandom(2), "big") % 30000
        sockets = []
        try:
            for n in range(count):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sockets.append(s)
                s.bind(("127.0.0.1", base + n))
            return base
        except OSError:
            continue
        finally:
            for s in sockets:
                s.close()
    raise SystemExit("no free UDP ports")


def blocks(readme):
    """(name, flags, language, text) of each marked block, in order."""
    pattern = re.compile(r"^<!-- example: ([\w-]+)((?: \w+)*) -->\n```(\w*)\n(.*?)^```$", re.M | re.S)
    found = [(m.group(1), m.group(2).split(), m.group(3), m.group(4)) for m in pattern.finditer(readme)]
    marks = readme.count("<!-- example:")
    if len(found) != marks:
        raise SystemExit("%d example marks, but %d of them stand right before a fence" % (marks, len(found)))
    return found


def main():
    readme_path, build_dir, scratch = sys.argv[1:4]
    data_dir = os.path.join(scratch, "kavor2")
    ports_dir = os.path.join(scratch, "k2ports")
    tcp = {8100: free_tcp_port(), 8121: free_tcp_port()}
    udp_line = free_udp_run(2)
    udp_devices = free_udp_run(3)
    ports = {"8100": tcp[8100], "8121": tcp[8121], "40000": udp_line, "40001": udp_line + 1,
             "41000": udp_devices}

    def localise(text):
        text = re.sub(r"(?<![\w/.])build/", build_dir.rstrip("/") + "/", text)
        text = text.replace("/tmp/kavor2", data_dir).replace("/tmp/k2ports", ports_dir)
        return re.sub(r"\b(8100|8121|40000|40001|41000)\b", lambda m: str(ports[m.group(1)]), text)

    with open(readme_path, encoding="utf-8") as f:
        examples = blocks(f.read())
    if not examples:
        raise SystemExit("no marked examples in " + readme_path)

    background = []

    def group_alive(pgid):
        try:
            os.killpg(pgid, 0)
            return True
        except ProcessLookupError:
            return False

    def stop_background():
        # The whole group: the shell that runs a block ends at once, the
        # service it started only once it has shut down (and freed its port).
        for name, proc in background:
            if group_alive(proc.pid):
                os.killpg(proc.pid, signal.SIGTERM)
        for name, proc in background:
            deadline = time.time() + 30
            while group_alive(proc.pid) and time.time() < deadline:
                proc.poll()  # reaps the shell, so that only its children keep the group
                time.sleep(0.05)
            if group_alive(proc.pid):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        background.clear()

    def command(language, path):
        if language == "python":
            return ["python3", "-u", path]
        if language in ("sh", "bash", "shell", ""):
            return ["bash", "-e", path]
        raise SystemExit("unknown block language " + language)

    failures = 0
    try:
        for index, (name, flags, language, text) in enumerate(examples):
            if "fresh" in flags:
                stop_background()
            path = os.path.join(scratch, "%02d-%s.%s" % (index, name, "py" if language == "python" else "sh"))
            with open(path, "w", encoding="utf-8") as f:
                f.write(localise(text))
            log = open(path + ".out", "w+", encoding="utf-8", errors="replace")
            repo = os.path.dirname(os.path.abspath(readme_path))
            proc = subprocess.Popen(command(language, path), cwd=repo, stdout=log, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
            if "background" in flags:
                background.append((name, proc))
                port = LISTENS.get(name)
                if port is not None:
                    deadline = time.time() + DEADLINE
                    while time.time() < deadline:
                        try:
                            socket.create_connection(("127.0.0.1", tcp[port]), timeout=1).close()
                            break
                        except OSError:
                            if proc.poll() is not None:
                                break
                            time.sleep(0.1)
                    if proc.poll() is not None or time.time() >= deadline:
                        log.seek(0)
                        print("example %s: FAILED (not listening; status %s)\n--- output\n%s---"
                              % (name, proc.poll(), log.read()), flush=True)
                        failures += 1
                        continue
                print("example %s: started" % name, flush=True)
                continue
            try:
                status = proc.wait(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                status = "timed out"
            log.seek(0)
            output = log.read()
            missing = [e for e in EXPECT.get(name, []) if e not in output]
            if status != 0 or missing:
                failures += 1
                print("example %s: FAILED (status %s, missing %s)\n--- script\n%s--- output\n%s---"
                      % (name, status, missing, localise(text), output), flush=True)
            else:
                print("example %s: ok" % name, flush=True)
    finally:
        stop_background()
    # The programs of a sanitizer build report there; their status is lost
    # for the background ones, which are stopped by a signal.
    for entry in sorted(os.listdir(scratch)):
        if entry.endswith(".out"):
            with open(os.path.join(scratch, entry), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for report in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
                if report in text:
                    print("example %s: %s\n%s" % (entry[3:-7], report, text))
                    failures += 1
                    break
    for name in EXPECT:
        if name not in [e[0] for e in examples]:
            print("example %s: not in the README" % name)
            failures += 1
    print("%d example(s), %d failed" % (len(examples), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
