#pragma once

class QApplication;

// Installs the application-wide look: the Qlementine style where the build has it, otherwise our
// own light style on Fusion.
void installApplicationStyle(QApplication &app);
