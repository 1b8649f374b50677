#include "ExportFileReader.h"

#include <QJsonDocument>
#include <QTest>

// The streamed reading gives what one QJsonDocument parse of the whole file gives, whatever the
// size of the reads it makes.
class ExportFileReaderTest : public QObject {
    Q_OBJECT
private slots:
    void matchesTheWholeParse()
    {
        const QByteArray a = "{\"a\":\"},{\\\"},{\",\"b\":[{\"c\":[1,{}]},{}]}";
        const QByteArray b = "{\"d\":\"x\\\\\"} , {\"e\":null}";
        const auto deep = [](int depth) -> QByteArray {
            return "{\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + "}";
        };
        const QByteArray cases[] = {
            "{\"format\":\"f\",\"n\":[1,{\"items\":2}],\"items\":[" + a + "," + b + "," + a + "]}",
            "\n{ \"items\" : [\n" + a + ",\n  " + b + "\n]\n}\n",
            "{\"items\":[" + a + "," + b + ",]}", // a trailing comma
            "{\"items\":[" + a + ",," + b + "]}", // an empty element
            "{\"items\":[" + a + "," + b + "], [" + a + "]}", // closed early
            "{\"items\":[" + a + "," + b + "],\"items\":[" + b + "," + a + "]}", // the key twice
            "{\"\\u0069tems\":[" + a + "],\"items\":[" + b + "," + a + "]}", // the key escaped
            "{\"items\":[{\"s\":\"x},{y\"}]}", // the only "},{" inside a string
            "{\"items\":[" + a + ",{\"s\":\"\xff\"}," + b + "]}", // not UTF-8
            "{\"items\":[" + a + "," + b + "]} x", // trailing bytes
            "{\"items\":[" + a + "," + b + "],\"format\":\"f\"}", // items not last
            "{\"items\":[" + a + "," + deep(1020) + "," + deep(1021) + "]}", // near the limit
            "{\"items\":[" + a + "," + deep(1022) + "," + deep(1023) + "]}",
            "[" + a + "," + b + "]", // not an object
            "{}",
            "\xEF\xBB\xBF {\"items\":[" + a + "]}", // a byte-order mark
            " \xEF\xBB\xBF{\"items\":[" + a + "]}", // not at the start
            "{\"items\":[ ]}",
            "{\"items\":[" + a + "],\"\\u0069tems\":5}", // a later member of the name wins
            "{\"items\":5,\"items\":[" + b + "]}",
            "{\"items\":[1,.5,\"s\",null,true,[]],\"x\":{\"items\":[2]}}",
            "{\"items\":[\"a\\\\\"],\"b\":1}", // an escaped backslash ends a string
            "{\"items\":[1 2]}",
            "{\"items\":[1,]}",
            "{\"items\":[{]}",
            "{\"items\":[" + a + "]}\n\t \r\n",
            "{\"items\":[" + a + "]}\f",
            "{\"items\":[" + a + "]",
            "{\"items\":[" + a,
            "{\"items\":[\"unterminated",
            "{\"a\":1,}",
            "",
        };
        for (const qint64 readSize : {qint64(1), qint64(3), qint64(64), qint64(4) << 20}) {
            exportfile::setReadSize(readSize);
            for (const QByteArray &bytes : cases) {
                QJsonParseError error;
                const QJsonDocument whole = QJsonDocument::fromJson(bytes, &error);
                const bool wholeOk = error.error == QJsonParseError::NoError && whole.isObject();
                bool ok = !wholeOk;
                const QJsonObject parsed = exportfile::parse(bytes, &ok);
                QVERIFY2(ok == wholeOk, bytes.constData());
                QCOMPARE(parsed, whole.object());
            }
        }
    }
};

QTEST_GUILESS_MAIN(ExportFileReaderTest)
#include "tst_exportfilereader.moc"
