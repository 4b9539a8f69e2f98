#pragma once

#include <QString>

// The tracker's user texts and stored keys, in one place so that every operation words them alike.
namespace texts {

inline const QString kServerKey = QStringLiteral("server");
inline const QString kPendingKey = QStringLiteral("pendingStops");

inline const QString kClockedOut = QStringLiteral("Clocked out. Tracking and screenshots are off.");
inline const QString kScreenshotsOff = QStringLiteral("Screenshots are off.");
inline const QString kDefaultStage = QStringLiteral("Footage review");
inline const QString kUnnamedComputer = QStringLiteral("Editor computer");

inline const QString kReconnecting = QStringLiteral("Reconnecting to your studio. Tracking is off.");
inline const QString kConnected = QStringLiteral("Connected. Clocked out; tracking is off.");
inline const QString kConnectedUnsaved = QStringLiteral(
    "Connected. Clocked out; tracking is off. The keyring is locked, so device access lasts only until Vantrel "
    "quits: unlock the keyring, then choose Reconnect / refresh projects to keep it.");
inline const QString kNewPairing = QStringLiteral("Enter a new pairing code from your admin.");
inline const QString kPendingBlocksPairing =
    QStringLiteral("Reconnect with the existing pairing to finish a pending clock-out first.");
inline const QString kPendingOnOtherServer =
    QStringLiteral("Finish the pending clock-out on the previous studio address first.");

inline const QString kClockedIn = QStringLiteral("Clocked in. Mouse activity and app usage are being shared.");
inline const QString kCapturingFirst = QStringLiteral("Capturing the first screenshot…");

inline const QString kFinalReportNotice = QStringLiteral(" Some final activity could not sync.");
inline const QString kSavedLocallyNotice = QStringLiteral(
    " Clock-out is saved locally and will sync on reconnect. The server also expires disconnected sessions.");
inline const QString kNotSavedNotice =
    QStringLiteral(" Clock-out could not be saved to disk and will be retried while Vantrel runs.");

inline const QString kSwitchingStage = QStringLiteral("Switching editing stage…");
inline const QString kStageChangePaused =
    QStringLiteral("Stage change paused. Reconnect to finish syncing the previous stage.");

inline const QString kInterrupted = QStringLiteral("Tracking paused after an interruption. Clock in again to resume.");
inline const QString kUnknownApp = QStringLiteral("Unknown app");

inline const QString kPermissionRemoved = QStringLiteral("Screen sharing permission was removed.");
inline const QString kNoDisplays = QStringLiteral("No supported displays available (maximum 8).");
inline const QString kCaptureInterrupted = QStringLiteral("Capture was interrupted. Please clock in again.");
inline const QString kScreenshotUploaded = QStringLiteral("Screenshot uploaded.");
inline const QString kCompressionFailed =
    QStringLiteral("Screenshot could not be compressed to the upload size limit.");

inline const QString kSleepOrSwitch =
    QStringLiteral("Computer locked, sleeping, or user switched. Clock in to resume.");
inline const QString kLocked = QStringLiteral("Computer locked. Clock in to resume.");

// An error's text as a sentence of its own: toolkit and desktop texts often end without a full stop, and the
// next sentence would run into them.
inline QString sentence(const QString& description)
{
    const QString text = description.trimmed();
    if (text.isEmpty() || text.endsWith(u'.') || text.endsWith(u'!') || text.endsWith(u'?') || text.endsWith(u'…'))
        return text;
    return text + u'.';
}

inline QString runFailed(const QString& description)
{
    return QStringLiteral("Tracking stopped: ") + sentence(description) +
           QStringLiteral(" Reconnect, then clock in to resume.");
}

// Capture ended on the desktop's side while tracking: a display went away or sharing was revoked.
inline QString captureEnded(const QString& description)
{
    return QStringLiteral("Tracking stopped: ") + sentence(description) + QStringLiteral(" Clock in to resume.");
}

} // namespace texts
