#!/usr/bin/env python3
"""Drives the service on this Mac's real HAL (--platform coreaudio) through its
protocol: INIT, device and process lists, the all-process tap, an aggregate
device made with that tap, a recording that must deliver "audioData" for a second, and a clean
exit when standard input closes. Silent audio is expected where the runner
has no audio-capture permission; only delivery is checked.

Usage: macos-smoke.py PATH_TO_EXECUTABLE
"""
import json
import queue
import re
import subprocess
import sys
import threading
import time

FRAME = re.compile(r"^(INIT|EVENT|RESPONSE):>(.*)<:\1$")
TIMEOUT = 15.0


def main(executable):
    service = subprocess.Popen([executable, "--platform", "coreaudio"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               bufsize=1)
    frames = queue.Queue()

    def read_frames():
        for line in service.stdout:
            match = FRAME.match(line.rstrip("\n"))
            if match:
                frames.put((match.group(1), json.loads(match.group(2))))

    def copy_stderr():
        for line in service.stderr:
            sys.stderr.write("  service: " + line)

    threading.Thread(target=read_frames, daemon=True).start()
    threading.Thread(target=copy_stderr, daemon=True).start()

    seen_events = {}

    def wait_for(predicate, what):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            try:
                kind, body = frames.get(timeout=0.1)
            except queue.Empty:
                continue
            if kind == "EVENT":
                seen_events[body.get("event")] = seen_events.get(body.get("event"), 0) + 1
            if predicate(kind, body):
                return body
        raise SystemExit("FAIL: no " + what + " within %.0f s" % TIMEOUT)

    counter = [0]

    def command(action, **parameters):
        counter[0] += 1
        ident = "smoke-%d" % counter[0]
        service.stdin.write(json.dumps(dict(id=ident, action=action, **parameters)) + "\n")
        service.stdin.flush()
        body = wait_for(lambda k, b: k == "RESPONSE" and b.get("id") == ident
                        and not b.get("isAcknowledgment"), "answer to " + action)
        if not body.get("success"):
            raise SystemExit("FAIL: %s answered %s" % (action, json.dumps(body)))
        print("ok  %s" % action)
        return body.get("data", {})

    wait_for(lambda k, b: k == "INIT", "INIT")
    print("ok  INIT")
    devices = command("getAudioDevices")
    print("    %s" % json.dumps(devices)[:300])
    command("listAudioProcesses")
    tap = command("createAudioTapWithAllProcesses")
    # Named at creation: a tap added to an aggregate afterwards can deliver
    # only zeros on recent macOS.
    command("createAggregateDevice", tapUIDs=[tap["uid"]])
    command("getAggregateDevices")
    command("startRecording")
    command("enableAudioStreaming")
    first = wait_for(lambda k, b: k == "EVENT" and b.get("event") == "audioData", "audioData")
    started = time.monotonic()
    wait_for(lambda k, b: k == "EVENT" and b.get("event") == "audioData"
             and time.monotonic() - started >= 1.0, "a second of audioData")
    print("ok  audioData for a second (first: %s)" % json.dumps(first.get("data", {}))[:200])
    command("stopRecording")
    command("cleanupAllTaps")
    service.stdin.close()
    status = service.wait(timeout=TIMEOUT)
    if status != 0:
        raise SystemExit("FAIL: exit status %d" % status)
    print("ok  exit 0; events seen: %s" % json.dumps(seen_events))


if __name__ == "__main__":
    main(sys.argv[1])
