#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;

// Reads an export file without building the whole document: the root's members are parsed as one
// small document in which the items array is empty, and the array's elements one at a time, each
// wrapped so that it sits as deep as in the whole file. A file is accepted exactly when one
// QJsonDocument parse of the whole would accept it, and gives the same values: every byte of the
// file is in exactly one of the pieces parsed, and the pieces put together are the file.
namespace exportfile {

// Where a file's bytes come from: a file on disk, or bytes in memory (tests, the fuzz target).
class Source {
public:
    static Source file(const QString &path);
    static Source memory(const QByteArray &bytes);

    // A fresh device at the start of the bytes; null with the file's error text on failure.
    std::unique_ptr<QIODevice> open(QString *error) const;

private:
    QString m_path;
    QByteArray m_bytes;
    bool m_inMemory = false;
};

// Bytes read from the device at a time; tests make it small so that every file spans many reads.
qint64 readSize();
void setReadSize(qint64 bytes);

struct Handlers {
    // An array under the root's key "items" begins: the elements of an earlier one no longer count
    // (the last member of a name is the one a whole parse keeps).
    std::function<void()> itemsBegin;
    // One element of that array and its place in the file. Returning false stops the reading.
    std::function<bool(const QJsonValue &element, qint64 offset, qint64 length)> element;
};

struct Outcome {
    bool ok = false; // the bytes are one JSON object
    bool stopped = false; // a handler stopped the reading
    // The root object; when itemsStreamed its "items" is the empty array that stood for the
    // elements handed out.
    QJsonObject root;
    bool itemsStreamed = false;
};

// Reads the device from its current position to its end.
Outcome read(QIODevice *device, const Handlers &handlers);

// The root object a whole parse gives, put together from the pieces (tests, the fuzz target).
QJsonObject parse(const QByteArray &bytes, bool *ok);

// Reads elements back by their place in the file, in any order, through a window of readSize()
// bytes: elements read in file order cost one read per window.
class ElementReader {
public:
    explicit ElementReader(std::unique_ptr<QIODevice> device);
    ~ElementReader();
    ElementReader(ElementReader &&) noexcept;
    ElementReader &operator=(ElementReader &&) noexcept;

    // The element at offset; false when it cannot be read or no longer parses (the file changed).
    bool at(qint64 offset, qint64 length, QJsonValue *element);

private:
    std::unique_ptr<QIODevice> m_device;
    QByteArray m_window;
    qint64 m_windowStart = -1;
};

} // namespace exportfile
