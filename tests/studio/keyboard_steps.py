#!/usr/bin/python3
"""Steps through a page's screenshots with the keyboard in headless Chromium, over its DevTools pipe.

    keyboard_steps.py URL KEY... -- CHROMIUM ARGUMENTS...

Loads URL, presses each KEY (DOM key names such as ArrowRight) in turn and prints the href of the focused element
after each press, one a line."""
import json
import os
import subprocess
import sys

KEY_CODES = {"ArrowLeft": 37, "ArrowRight": 39, "Enter": 13}


def main():
    split = sys.argv.index("--")
    url, keys, chromium = sys.argv[1], sys.argv[2:split], sys.argv[split + 1:]
    to_child, from_parent = os.pipe()
    to_parent, from_child = os.pipe()

    # The browser reads commands on descriptor 3 and writes answers on 4.
    browser = subprocess.Popen(["sh", "-c", f'exec "$@" 3<&{to_child} 4>&{from_child}', "sh", *chromium,
                                "--remote-debugging-pipe", "about:blank"],
                               pass_fds=(to_child, from_child), stderr=subprocess.DEVNULL)
    os.close(to_child)
    os.close(from_child)
    commands = os.fdopen(from_parent, "wb")
    answers = os.fdopen(to_parent, "rb")
    state = {"id": 0, "buffer": b""}

    def message():
        while b"\0" not in state["buffer"]:
            chunk = answers.read1(65536)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            state["buffer"] += chunk
        text, state["buffer"] = state["buffer"].split(b"\0", 1)
        return json.loads(text)

    def send(method, session=None, wait_event=None, **params):
        state["id"] += 1
        command = {"id": state["id"], "method": method, "params": params}
        if session:
            command["sessionId"] = session
        commands.write(json.dumps(command).encode() + b"\0")
        commands.flush()
        result = None
        while True:
            received = message()
            if received.get("id") == state["id"]:
                if "error" in received:
                    raise RuntimeError(f"{method}: {received['error']}")
                result = received["result"]
                if not wait_event:
                    return result
            elif wait_event and received.get("method") == wait_event and result is not None:
                return result

    try:
        target = send("Target.createTarget", url="about:blank")["targetId"]
        session = send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        send("Page.enable", session)
        send("Page.navigate", session, wait_event="Page.loadEventFired", url=url)
        for key in keys:
            for kind in ("keyDown", "keyUp"):
                send("Input.dispatchKeyEvent", session, type=kind, key=key, code=key,
                     windowsVirtualKeyCode=KEY_CODES[key])
            focused = send("Runtime.evaluate", session,
                           expression="document.activeElement.getAttribute('href')", returnByValue=True)
            print(focused["result"].get("value"))
    finally:
        browser.kill()
        browser.wait()


if __name__ == "__main__":
    main()
