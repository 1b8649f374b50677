#pragma once

#include "Records.h"
#include "ResourceWindow.h"

#include <QPixmap>

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

// Opens a file or folder with its associated program (through the host operations).
void openWithSystem(const QString &path);

// Style sheet of the small push buttons of the resource widgets.
QString actionButtonStyle();

// Resource widget for a local file or folder: a location field and, for pictures, a preview of
// the picture at its natural size below it.
class FileAttachmentWidget : public ResourceWindow {
    Q_OBJECT

public:
    FileAttachmentWidget(const Attachment &attachment, QWidget *parent, bool folder);

    // The field's text, trimmed.
    QString location() const;
    bool isFolder() const;
    void setImagePreviewEnabled(bool enabled);
    // Shows the resource in the file manager (a folder opens, a file is shown selected).
    void revealResource();

    ContentBlock snapshot() const override;
    void restore(const ContentBlock &block) override;
    void setEditingEnabled(bool enabled) override;
    void activateResource() override;

signals:
    void locationChanged(const QString &location);
    void activated();
    void removeRequested(qint64 attachmentId);

public slots:
    void chooseFile();
    void chooseFolder();
    void openLocation();
    void revealLocation();
    void locationEdited();
    void updateAppearance();
    void updateImagePreview();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    Attachment attachment;
    bool folder = false;
    QLineEdit *locationEdit = nullptr;
    QPushButton *browseButton = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *revealButton = nullptr;
    QScrollArea *previewArea = nullptr;
    QLabel *previewLabel = nullptr;
    QPixmap previewPixmap;
    bool imagePreviewEnabled = false;
};
