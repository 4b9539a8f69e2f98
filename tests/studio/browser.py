#!/usr/bin/python3
"""Drives headless Chromium over its DevTools pipe through a list of steps, as a manager would use the pages.

    browser.py CA_FILE HOME STEP...

The browser trusts only the certificates of CA_FILE, keeps its profile in HOME and reaches studio.test at
127.0.0.1.

Steps, each followed by its arguments:
    open URL              load URL
    fill SELECTOR TEXT    type TEXT into a field
    choose SELECTOR VALUE pick an option of a list
    submit SELECTOR       click a button and wait for the page it leads to
    key KEY               press KEY (a DOM key name such as ArrowRight); prints the focused element's href
    shot FILE             save a screenshot as PNG; "dark FILE" in the dark colour scheme
    text SELECTOR         print an element's text
    dom                   print the page's HTML
Each printed value is one line of JSON, a list of one value."""
import base64
import json
import os
import subprocess
import sys

KEY_CODES = {"ArrowLeft": 37, "ArrowRight": 39, "Enter": 13}
ARITY = {"open": 1, "fill": 2, "choose": 2, "submit": 1, "key": 1, "shot": 1, "dark": 1, "text": 1, "dom": 0}


class Browser:
    def __init__(self, ca, home):
        # Chromium reads its trusted certificates from the NSS database in $HOME.
        nss = f"sql:{home}/.pki/nssdb"
        if not os.path.exists(home):
            os.makedirs(f"{home}/.pki/nssdb")
            subprocess.run(["certutil", "-N", "-d", nss, "--empty-password"], check=True)
            subprocess.run(["certutil", "-A", "-d", nss, "-n", "studio", "-t", "C,,", "-i", ca], check=True)
        chromium = ["chromium", "--headless", "--disable-gpu", f"--user-data-dir={home}/profile",
                    "--host-resolver-rules=MAP studio.test 127.0.0.1", "--window-size=1280,900"]
        if os.geteuid() == 0:
            chromium.append("--no-sandbox")
        to_child, from_parent = os.pipe()
        to_parent, from_child = os.pipe()
        # The browser reads commands on descriptor 3 and writes answers on 4.
        self.process = subprocess.Popen(["sh", "-c", f'exec "$@" 3<&{to_child} 4>&{from_child}', "sh", *chromium,
                                         "--remote-debugging-pipe", "about:blank"],
                                        pass_fds=(to_child, from_child), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, env={**os.environ, "HOME": home})
        os.close(to_child)
        os.close(from_child)
        self.commands = os.fdopen(from_parent, "wb")
        self.answers = os.fdopen(to_parent, "rb")
        self.buffer, self.last_id, self.events, self.session = b"", 0, [], None
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.send("Page.enable")

    # The next message from the browser; the events among them are recorded as they pass.
    def message(self):
        while b"\0" not in self.buffer:
            chunk = self.answers.read1(65536)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        received = json.loads(text)
        if "method" in received:
            self.events.append(received["method"])
        return received

    def send(self, method, **params):
        self.last_id += 1
        command = {"id": self.last_id, "method": method, "params": params}
        if self.session:
            command["sessionId"] = self.session
        self.commands.write(json.dumps(command).encode() + b"\0")
        self.commands.flush()
        while True:
            received = self.message()
            if received.get("id") == self.last_id:
                if "error" in received:
                    raise RuntimeError(f"{method}: {received['error']}")
                return received["result"]

    def loaded(self, action):
        """Runs `action`, then waits until the page it leads to has loaded."""
        self.events.clear()
        action()
        while "Page.loadEventFired" not in self.events:
            self.message()

    def evaluate(self, expression):
        answer = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in answer:
            raise RuntimeError(f"{expression}: {answer['exceptionDetails']}")
        return answer["result"].get("value")

    def screenshot(self, path, scheme):
        self.send("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": scheme}])
        with open(path, "wb") as file:
            file.write(base64.b64decode(self.send("Page.captureScreenshot", format="png")["data"]))
        self.send("Emulation.setEmulatedMedia", features=[])

    def step(self, name, args):
        element = f"document.querySelector({json.dumps(args[0])})" if args else None
        if name == "open":
            self.loaded(lambda: self.send("Page.navigate", url=args[0]))
        elif name == "fill":
            self.evaluate(f"{element}.focus()")
            self.send("Input.insertText", text=args[1])
        elif name == "choose":
            self.evaluate(f"{element}.value = {json.dumps(args[1])}")
        elif name == "submit":
            self.loaded(lambda: self.evaluate(f"{element}.click()"))
        elif name == "key":
            for kind in ("keyDown", "keyUp"):
                self.send("Input.dispatchKeyEvent", type=kind, key=args[0], code=args[0],
                          windowsVirtualKeyCode=KEY_CODES[args[0]])
            return self.evaluate("document.activeElement.getAttribute('href')")
        elif name in ("shot", "dark"):
            self.screenshot(args[0], "dark" if name == "dark" else "light")
        elif name == "text":
            return self.evaluate(f"{element}.textContent")
        elif name == "dom":
            return self.evaluate("document.documentElement.outerHTML")
        return None


def main():
    ca, home, *words = sys.argv[1:]
    browser = Browser(ca, home)
    try:
        while words:
            name = words.pop(0)
            args, words = words[:ARITY[name]], words[ARITY[name]:]
            value = browser.step(name, args)
            if name in ("key", "text", "dom"):
                print(json.dumps([value]), flush=True)
    finally:
        browser.process.kill()
        browser.process.wait()


if __name__ == "__main__":
    main()
