// The remembered directory, on a settings store of its own.
#include "settingssaver.h"
#include "testsupport.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void defaultIsHome();
    void destructorWritesTheLoadedValueBack();
    void setterWritesAtOnce();
    void persistsAcrossInstances_data();
    void persistsAcrossInstances();
    void nonStringValueIsReadAsText();

private:
    static QVariant stored()
    {
        QSettings settings("MyCompany", "My soft name");
        return settings.value("LastDir");
    }
    QTemporaryDir dir;
};

void TestSettings::initTestCase()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
}

void TestSettings::init()
{
    QSettings("MyCompany", "My soft name").clear();
}

void TestSettings::defaultIsHome()
{
    SettingsSaver saver;
    QCOMPARE(saver.lastDir(), QDir::homePath());
}

void TestSettings::destructorWritesTheLoadedValueBack()
{
    QVERIFY(!stored().isValid());
    { SettingsSaver saver; }
    QCOMPARE(stored().toString(), QDir::homePath());
    // The store really is a file under the test's own location.
    QVERIFY(QFile::exists(dir.filePath("MyCompany/My soft name.conf")));
}

void TestSettings::setterWritesAtOnce()
{
    SettingsSaver saver;
    saver.setLastDir("/srv/firmware");
    QCOMPARE(stored().toString(), QString("/srv/firmware"));
    QCOMPARE(saver.lastDir(), QString("/srv/firmware"));
}

void TestSettings::persistsAcrossInstances_data()
{
    QTest::addColumn<QString>("directory");
    QTest::newRow("directory") << "/home/tech/images";
    QTest::newRow("with blanks and umlauts") << QString::fromUtf8("/tmp/Fw Bilder ä");
    QTest::newRow("empty string stays empty") << "";
}

void TestSettings::persistsAcrossInstances()
{
    QFETCH(QString, directory);
    {
        SettingsSaver saver;
        saver.setLastDir(directory);
    }
    SettingsSaver later;
    QCOMPARE(later.lastDir(), directory);
    // Also as a later run of the program reads it, from the file.
    QSettings fresh(dir.filePath("MyCompany/My soft name.conf"), QSettings::IniFormat);
    QCOMPARE(fresh.value("LastDir").toString(), directory);
}

void TestSettings::nonStringValueIsReadAsText()
{
    QSettings("MyCompany", "My soft name").setValue("LastDir", 42);
    SettingsSaver saver;
    QCOMPARE(saver.lastDir(), QString("42"));
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
