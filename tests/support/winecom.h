#pragma once

// The Wine end-to-end tests: the vantel window opens the COM port that
// scripts/test-windows.sh maps to vantel-sim and names in VANTEL_E2E_COM.

#include "monitor/form1.h"

#include <QString>

namespace testsupport {

// Looks for serial ports as the window does, picks `port` and opens it. An empty
// string when the port is open, else what went wrong.
inline QString openMappedPort(monitor::Form1 &form, const QString &port)
{
    form.C32_Click();
    const int found = form.Combo1->findText(port);
    if (found < 0) {
        return port + QStringLiteral(" not found by the search");
    }
    form.Combo1->setCurrentIndex(found);
    form.Combo1->setEditText(port);
    form.C31_Click();
    return QString();
}

} // namespace testsupport
