// The text cipher against openssl as an independent oracle.
#include "httpservices.h"
#include "textcipher.h"

#include <QProcess>
#include <QtTest>

#include <cryptopp/cryptlib.h>

namespace {

const QString kKey = QString::fromLatin1(kCipherKeyText);

// openssl with the key text padded by spaces to 32 bytes (its own -K pads with zeros).
QByteArray openssl(const QByteArray &input, const QByteArray &keyText, bool decrypt)
{
    QByteArray key = keyText.left(32);
    key += QByteArray(32 - key.size(), ' ');
    QStringList args{QStringLiteral("enc"), QStringLiteral("-aes-256-ecb"), QStringLiteral("-K"),
                     QString::fromLatin1(key.toHex())};
    if (decrypt)
        args << QStringLiteral("-d");
    QProcess p;
    p.start(QStringLiteral("openssl"), args);
    p.waitForStarted();
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished();
    return p.readAllStandardOutput();
}

QByteArray toBytes(const std::string &s)
{
    return QByteArray(s.data(), int(s.size()));
}

} // namespace

class TestTextCipher : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswer();
    void matchesOpenssl_data();
    void matchesOpenssl();
    void emptyInputRules();
    void keyIsPaddedOrCut();
    void chineseRoundTrip();
    void damagedCiphertext_data();
    void damagedCiphertext();
};

void TestTextCipher::knownAnswer()
{
    HttpServices cipher;
    QCOMPARE(cipher.encrypt(QStringLiteral("hello"), kKey).toBase64(), QByteArray("N3eL1I6ePKmH33N/qUWcZA=="));
    QCOMPARE(cipher.decrypt(QStringLiteral("N3eL1I6ePKmH33N/qUWcZA=="), kKey), QStringLiteral("hello"));
}

void TestTextCipher::matchesOpenssl_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<int>("cipherSize");
    QTest::newRow("15 bytes") << QByteArray(15, 'a') << 16;
    QTest::newRow("16 bytes gains a full pad block") << QByteArray(16, 'b') << 32;
    QTest::newRow("ticket-sized with Chinese")
        << (QStringLiteral("<Attribute><FileName>机密报告.pdf</FileName></Attribute>").repeated(40)).toUtf8()
        << -1;
    QByteArray binary;
    for (int i = 0; i < 1000; ++i)
        binary.append(char(i * 7));
    QTest::newRow("1000 binary bytes") << binary << 1008;
}

void TestTextCipher::matchesOpenssl()
{
    QFETCH(QByteArray, plain);
    QFETCH(int, cipherSize);
    const QByteArray ours = toBytes(aesEncrypt(plain.toStdString(), kCipherKeyText, 32));
    if (cipherSize >= 0)
        QCOMPARE(ours.size(), cipherSize);
    QCOMPARE(ours, openssl(plain, kCipherKeyText, false));
    QCOMPARE(toBytes(aesDecrypt(openssl(plain, kCipherKeyText, false).toStdString(), kCipherKeyText, 32)), plain);
}

void TestTextCipher::emptyInputRules()
{
    HttpServices cipher;
    QVERIFY(cipher.encrypt(QString(), kKey).isEmpty());
    QVERIFY(cipher.encrypt(QStringLiteral("text"), QString()).isEmpty());
    QVERIFY(cipher.encrypt(QStringLiteral("text"), QString()).toBase64().isEmpty());
    QCOMPARE(cipher.decrypt(QString(), kKey), QString());
    QCOMPARE(cipher.decrypt(QStringLiteral("N3eL1I6ePKmH33N/qUWcZA=="), QString()),
             QStringLiteral("N3eL1I6ePKmH33N/qUWcZA=="));
    // A ciphertext of nothing but padding is an empty text, not a failure.
    bool ok = false;
    const QString empty = QString::fromLatin1(toBytes(aesEncrypt(std::string(), kCipherKeyText, 32)).toBase64());
    QCOMPARE(cipher.decrypt(empty, kKey, &ok), QString());
    QVERIFY(ok);
}

void TestTextCipher::keyIsPaddedOrCut()
{
    const std::string plain = "settings";
    const std::string key32(32, 'k');
    QCOMPARE(aesEncrypt(plain, key32 + "ignored tail", 32), aesEncrypt(plain, key32, 32));
    QCOMPARE(aesEncrypt(plain, "zivure" + std::string(26, ' '), 32), aesEncrypt(plain, "zivure", 32));
    QVERIFY(aesEncrypt(plain, "zivure", 32) != aesEncrypt(plain, "zivurf", 32));
    const QByteArray longKey = QByteArray(32, 'k') + "ignored tail";
    QCOMPARE(toBytes(aesEncrypt(plain, longKey.toStdString(), 32)),
             openssl(QByteArray::fromStdString(plain), longKey, false));
}

void TestTextCipher::chineseRoundTrip()
{
    HttpServices cipher;
    const QString text = QStringLiteral("<UserID>张三</UserID><FileName>季度财务报表（机密）.docx</FileName>");
    const QByteArray base64 = cipher.encrypt(text, kKey).toBase64();
    QCOMPARE(cipher.decrypt(QString::fromLatin1(base64), kKey), text);
    QCOMPARE(QString::fromUtf8(openssl(QByteArray::fromBase64(base64), kCipherKeyText, true)), text);
}

void TestTextCipher::damagedCiphertext_data()
{
    QTest::addColumn<QByteArray>("cipher");
    const QByteArray good = toBytes(aesEncrypt("hello world", kCipherKeyText, 32));
    QTest::newRow("not a multiple of 16") << good.left(15);
    QByteArray flipped = good;
    flipped[15] = char(flipped[15] ^ 0x5a);
    QTest::newRow("bad padding") << flipped;
    QTest::newRow("other key") << toBytes(aesEncrypt("hello world", "another key", 32));
}

void TestTextCipher::damagedCiphertext()
{
    QFETCH(QByteArray, cipher);
    QVERIFY_EXCEPTION_THROWN(aesDecrypt(cipher.toStdString(), kCipherKeyText, 32), CryptoPP::Exception);
    HttpServices http;
    bool ok = true;
    QCOMPARE(http.decrypt(QString::fromLatin1(cipher.toBase64()), kKey, &ok), QString());
    QVERIFY(!ok);
    QCOMPARE(http.decryptRaw(QString::fromLatin1(cipher), kKey), QByteArray());
}

QTEST_GUILESS_MAIN(TestTextCipher)
#include "tst_textcipher.moc"
