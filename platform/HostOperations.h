#pragma once

#include <QString>
#include <QUrl>

// The four things the program asks of the desktop it runs on. Everything else is plain Qt.
//
// Code calls HostOperations::current(); tests replace the host for a while with
// RecordingHostOperations (or any subclass handed to install()) so that nothing is really
// opened while they check what would have been asked.
class HostOperations {
public:
    virtual ~HostOperations();

    // Opens a file or folder with the program the desktop associates with it.
    // Returns false when the request could not even be handed to the desktop.
    virtual bool openWithSystem(const QString &path) = 0;
    // Shows the file manager with `path` (an existing file) selected in its folder.
    virtual bool revealInFileManager(const QString &path) = 0;
    // The machine's hardware/installation UUID in upper-case 8-4-4-4-12 form,
    // or an empty string when the host does not tell it.
    virtual QString machineUuid() = 0;
    // Opens an address with the desktop's default handler for its scheme.
    virtual bool openUrl(const QUrl &url) = 0;

    // The host in effect: the native one unless another was installed.
    static HostOperations &current();
    // The implementation for the platform the program was built for.
    static HostOperations &native();
    // Makes `operations` the host in effect (not owned; null goes back to the native one) and
    // returns the one that was in effect before. GUI thread only.
    static HostOperations *install(HostOperations *operations);
};

// Turns the contents of a freedesktop machine-id file (32 hexadecimal digits, usually followed by a
// line break) into the upper-case UUID form. Anything else gives an empty string.
QString machineUuidFromMachineId(const QByteArray &contents);
