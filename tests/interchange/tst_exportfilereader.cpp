#include "ExportFileReader.h"

#include <QJsonDocument>
#include <QTest>

// The two-thread parse gives what one QJsonDocument parse of the whole file gives, for files it
// cuts and for the ones it must leave whole.
class ExportFileReaderTest : public QObject {
    Q_OBJECT
private slots:
    void matchesTheWholeParse()
    {
        const QByteArray items = R"([{"id":1,"name":"a, \"b\" [c]","blocks":[{"value":"x\\"}]},)"
                                 R"( {"id":2,"n":[1,2,{"k":"}"}]} , 3.5e1, "s", null, true ])";
        const QByteArray cases[] = {
            "{\"format\":\"f\",\"items\":" + items + ",\"tail\":{\"items\":[1]}}",
            "  {\"items\":" + items + "}  ",
            "{\"items\":[1,2,3,]}", // a trailing comma
            "{\"items\":[1,,3]}", // an empty element
            "{\"items\":[1, 2 3]}", // a missing comma
            "{\"items\":[1,2,3]", // unclosed
            "{\"items\":[1,2,3]} x", // trailing bytes
            "{\"items\":[1,2,3],\"items\":[4,5,6]}", // the key twice
            "{\"\\u0069tems\":[1,2,3],\"items\":[4,5,6]}", // the key escaped
            "{\"items\":[1,\"\xff\",3]}", // not UTF-8
            "{\"items\":[1,tru,3]}", // a broken literal
            "{\"items\":[1,\"a\\\",2]}", // a quote escaped to the end
            "[1,2,3]", // not an object
            "{\"items\":[1,2," + QByteArray(300, '[') + QByteArray(300, ']') + "]}", // deep
        };
        for (const QByteArray &bytes : cases) {
            QJsonParseError error;
            const QJsonDocument whole = QJsonDocument::fromJson(bytes, &error);
            const bool wholeOk = error.error == QJsonParseError::NoError && whole.isObject();
            bool ok = !wholeOk;
            const QJsonObject parsed = exportfile::parse(bytes, &ok, 0);
            QVERIFY2(ok == wholeOk, bytes.constData());
            QCOMPARE(parsed, whole.object());
        }
    }
};

QTEST_GUILESS_MAIN(ExportFileReaderTest)
#include "tst_exportfilereader.moc"
