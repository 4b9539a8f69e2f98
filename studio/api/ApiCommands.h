#pragma once

#include "store/Studio.h"

#include <QStringList>
#include <QTextStream>

// `vantrel-studio api-token create NAME | list | revoke ID`: the read-only API's tokens from the command line.
// `words` are the command's words after "api-token"; returns the exit code, having written to `out` or `err`.
int apiTokenCommand(Studio& studio, const QStringList& words, QTextStream& out, QTextStream& err);
