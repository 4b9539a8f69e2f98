// Vantrel's script inside KWin (KDE Plasma's compositor).  The agent loads it over D-Bus and fills in the
// values below; the script calls back into the agent on every window activation and, while the agent counts
// the pointer, once a second with the pointer moves of that second (none when the pointer rests).
const agent = @AGENT@;
const path = @PATH@;
const iface = @INTERFACE@;
const countPointer = @COUNT_POINTER@;
const load = @LOAD@; // which of the agent's loads this is

// Plasma 6 calls clients windows.
const plasma6 = workspace.windowActivated !== undefined;

function reportActive(window) {
    if (!window) {
        callDBus(agent, path, iface, "windowActivated", "", "", "0");
        return;
    }
    // As strings: how KWin hands numbers to D-Bus differs between versions.
    callDBus(agent, path, iface, "windowActivated", String(window.desktopFileName || ""),
             String(window.resourceClass || ""), String(window.pid || 0));
}

(plasma6 ? workspace.windowActivated : workspace.clientActivated).connect(reportActive);

if (countPointer) {
    // One position change is one move.  The handler only counts; a single-shot timer started by the first
    // move of a second sends that second's count, so a resting pointer costs KWin nothing.
    let moves = 0;
    const flush = new QTimer();
    flush.singleShot = true;
    flush.interval = 1000;
    flush.timeout.connect(function () {
        callDBus(agent, path, iface, "pointerMoved", String(moves));
        moves = 0;
    });
    workspace.cursorPosChanged.connect(function () {
        ++moves;
        if (!flush.active)
            flush.start();
    });
}

// Everything is connected: the agent now knows this load runs.
callDBus(agent, path, iface, "started", String(load));
reportActive(plasma6 ? workspace.activeWindow : workspace.activeClient);
