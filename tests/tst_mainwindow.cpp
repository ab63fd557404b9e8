// The window's start state and the log panel.
#include "logview.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <QThread>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { emulatedBus(0); }

    void startState();
    void formTexts_data();
    void formTexts();
    void slotsInDeclaredOrder();
    void buttonsWithoutEffect_data();
    void buttonsWithoutEffect();
    void logLineFormat();
    void logShowsMessagesLiterally_data();
    void logShowsMessagesLiterally();
    void selectionSurvivesNewLine();
    void newestLineIsVisible();
    void messageFromAnotherThread();
    void messageAfterWindowIsGone();
};

void TestMainWindow::startState()
{
    MainWindowPro window;
    window.show();
    QCOMPARE(window.size(), QSize(592, 531));
    QCOMPARE(window.minimumSize(), QSize(592, 531));
    QCOMPARE(window.maximumSize(), QSize(592, 531));
    QCOMPARE(window.windowTitle(), QString("Tesvar Lumora Configurator"));

    QVERIFY(child<QPushButton>(&window, "scanDevicesBtn")->isEnabled());
    QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
    QCOMPARE(child<QComboBox>(&window, "deviceListBox")->count(), 0);
    QVERIFY(!child<QPushButton>(&window, "devOpenBtn")->isEnabled());
    QVERIFY(!child<QGroupBox>(&window, "groupBox_3")->isEnabled());
    QVERIFY(!child<QPushButton>(&window, "updBtn")->isEnabled());
    QVERIFY(!child<QGroupBox>(&window, "groupBox")->isEnabled());
    QVERIFY(!child<QPushButton>(&window, "pushButton_2")->isEnabled());
    QVERIFY(child<QGroupBox>(&window, "groupBox_6")->isEnabled());

    auto *rate = child<QSpinBox>(&window, "rateSpin");
    auto *mab = child<QSpinBox>(&window, "mabSpin");
    auto *brk = child<QSpinBox>(&window, "breakSpin");
    QCOMPARE(rate->value(), 0);
    QCOMPARE(mab->value(), 1);
    QCOMPARE(brk->value(), 9);
    QCOMPARE(qMakePair(rate->minimum(), rate->maximum()), qMakePair(0, 40));
    QCOMPARE(qMakePair(mab->minimum(), mab->maximum()), qMakePair(1, 127));
    QCOMPARE(qMakePair(brk->minimum(), brk->maximum()), qMakePair(9, 127));

    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    QVERIFY(log->isReadOnly());
    QVERIFY(log->document()->isEmpty());
    QCOMPARE(gLogView.data(), log);
    QVERIFY(gLink);
    QVERIFY(!gLink->handle);
    QVERIFY(window.menuBar()->actions().isEmpty());

    // The second control group lies almost wholly outside its parent.
    auto *hidden = child<QGroupBox>(&window, "groupBox_5");
    QCOMPARE(hidden->parentWidget()->objectName(), QString("groupBox_3"));
    QCOMPARE(hidden->geometry(), QRect(180, 80, 571, 81));
    QCOMPARE(child<QGroupBox>(&window, "groupBox_3")->geometry(), QRect(10, 200, 571, 81));
    QVERIFY(!hidden->visibleRegion().boundingRect().isValid()
            || hidden->visibleRegion().boundingRect().height() <= 1);
    QVERIFY(child<QPushButton>(&window, "updBtn_2")->visibleRegion().isEmpty());
}

void TestMainWindow::formTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("groupBox_2") << "groupBox_2" << "Tesvar Lumora LOOKPUP" << QRect(10, 10, 361, 181);
    QTest::newRow("scanDevicesBtn") << "scanDevicesBtn" << "Scan Devices" << QRect(10, 30, 91, 21);
    QTest::newRow("tryLbl") << "tryLbl" << "Trying to Connect -" << QRect(10, 100, 201, 16);
    QTest::newRow("lookLbl") << "lookLbl" << "Looking for Devices -" << QRect(10, 110, 211, 21);
    QTest::newRow("infoLbl") << "infoLbl" << "Info -" << QRect(10, 130, 201, 16);
    QTest::newRow("fwLbl") << "fwLbl" << "Checking Firmware -" << QRect(10, 150, 201, 16);
    QTest::newRow("devOpenBtn") << "devOpenBtn" << "Open" << QRect(260, 60, 80, 21);
    QTest::newRow("groupBox_3") << "groupBox_3" << "Lumora Control" << QRect(10, 200, 571, 81);
    QTest::newRow("sendBtn") << "sendBtn" << "DXM Send Test" << QRect();
    QTest::newRow("recvBtn") << "recvBtn" << "DMX Receive Test" << QRect();
    QTest::newRow("updBtn") << "updBtn" << "Firmware Update" << QRect();
    QTest::newRow("groupBox") << "groupBox" << "Lumora Configuration" << QRect(10, 290, 571, 91);
    QTest::newRow("rateLbl") << "rateLbl" << "Packet Outout Rate (0 = MAX)" << QRect(10, 30, 151, 16);
    QTest::newRow("mabLbl") << "mabLbl" << "MAB (Mark After Brake)" << QRect(10, 60, 151, 16);
    QTest::newRow("breakLbl") << "breakLbl" << "Break Time" << QRect(287, 32, 121, 16);
    QTest::newRow("breakSpin") << "breakSpin" << "" << QRect(400, 30, 43, 22);
    QTest::newRow("pushButton_2") << "pushButton_2" << "Change Lumora Config" << QRect(420, 60, 141, 21);
    QTest::newRow("groupBox_6") << "groupBox_6" << "Log Window" << QRect(10, 390, 571, 121);
    QTest::newRow("plainTextEdit") << "plainTextEdit" << "" << QRect(10, 30, 551, 81);
}

void TestMainWindow::formTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    MainWindowPro window;
    QWidget *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QString shown;
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        shown = box->title();
    else if (auto *button = qobject_cast<QPushButton *>(widget))
        shown = button->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    QCOMPARE(shown, text);
    if (geometry.isValid())
        QCOMPARE(widget->geometry(), geometry);
}

void TestMainWindow::slotsInDeclaredOrder()
{
    const QMetaObject &meta = MainWindowPro::staticMetaObject;
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 5);
    const char *expected[] = {"on_findLumoraBtn_clicked()", "on_updBtn_clicked()", "on_pushButton_2_clicked()",
                              "on_scanDevicesBtn_clicked()", "on_devOpenBtn_clicked()"};
    for (int i = 0; i < 5; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i]));
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
}

void TestMainWindow::buttonsWithoutEffect_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("DXM Send Test") << "sendBtn";
    QTest::newRow("DMX Receive Test") << "recvBtn";
    QTest::newRow("Change Lumora Config") << "pushButton_2";
}

void TestMainWindow::buttonsWithoutEffect()
{
    QFETCH(QString, name);
    lumora::EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    window.show();
    // Unlock the groups so the buttons can be clicked at all.
    child<QGroupBox>(&window, "groupBox_3")->setEnabled(true);
    child<QGroupBox>(&window, "groupBox")->setEnabled(true);
    child<QSpinBox>(&window, "rateSpin")->setValue(33);
    QList<QWidget *> all = window.findChildren<QWidget *>();
    QMap<QWidget *, QString> before;
    for (QWidget *w : all) {
        QString state = QString::number(w->isEnabled());
        if (auto *l = qobject_cast<QLabel *>(w))
            state += l->text();
        if (auto *b = qobject_cast<QPushButton *>(w))
            state += b->text();
        if (auto *s = qobject_cast<QSpinBox *>(w))
            state += QString::number(s->value());
        before[w] = state;
    }
    auto *button = window.findChild<QPushButton *>(name);
    QVERIFY(button && button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    for (QWidget *w : all) {
        QString state = QString::number(w->isEnabled());
        if (auto *l = qobject_cast<QLabel *>(w))
            state += l->text();
        if (auto *b = qobject_cast<QPushButton *>(w))
            state += b->text();
        if (auto *s = qobject_cast<QSpinBox *>(w))
            state += QString::number(s->value());
        QCOMPARE(state, before[w]);
    }
    QVERIFY(child<QPlainTextEdit>(&window, "plainTextEdit")->document()->isEmpty());
    QCOMPARE(faults().calls(lumora::D2xxCall::Write), 0);
    QCOMPARE(faults().calls(lumora::D2xxCall::CreateDeviceInfoList), 0);
}

void TestMainWindow::logLineFormat()
{
    MainWindowPro window;
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const QDateTime before = QDateTime::currentDateTime();
    qDebug("Starting firmware update");
    qWarning("a warning from Qt");
    qDebug("\n\t\t  FIRMWARE VERSION: %d.%d", 1, 44);
    QCOMPARE(log->document()->blockCount(), 3);
    const QStringList lines = log->toPlainText().split('\n');
    QCOMPARE(lines.size(), 3);
    const QRegularExpression stamp("^(\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d) (.*)$");
    for (const QString &line : lines)
        QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
    const QDateTime when = QDateTime::fromString(stamp.match(lines[0]).captured(1), "yyyy.MM.dd hh:mm:ss");
    QVERIFY(qAbs(when.secsTo(before)) <= 2);
    QCOMPARE(stamp.match(lines[0]).captured(2), QString("Starting firmware update"));
    QCOMPARE(stamp.match(lines[1]).captured(2), QString("a warning from Qt"));
    // Line breaks and tabs fold into one blank after the time stamp.
    QCOMPARE(stamp.match(lines[2]).captured(2), QString("FIRMWARE VERSION: 1.44"));
    QCOMPARE(logLineHtml(QDateTime(QDate(2026, 3, 5), QTime(9, 7, 2)), "x"), QString("2026.03.05 09:07:02 x"));
}

void TestMainWindow::logShowsMessagesLiterally_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("tag") << "<b>bold</b> file" << "<b>bold</b> file";
    QTest::newRow("entity") << "Tom &amp; Jerry & co" << "Tom &amp; Jerry & co";
    QTest::newRow("quoted name") << "\"/tmp/<fw>.bin\"" << "\"/tmp/<fw>.bin\"";
    QTest::newRow("line break") << "a<br>b\nc" << "a<br>b c";
    QTest::newRow("runs of blanks") << "a \t\t  b" << "a b";
}

void TestMainWindow::logShowsMessagesLiterally()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    MainWindowPro window;
    qDebug().noquote() << message;
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    QCOMPARE(log->document()->blockCount(), 1);
    QCOMPARE(logMessages(log), QStringList{shown});
}

void TestMainWindow::selectionSurvivesNewLine()
{
    MainWindowPro window;
    window.show();
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    qDebug("first line");
    qDebug("second line");
    qDebug("third line");
    // The user selects "second" and clicks into the first line.
    QTextCursor select(log->document()->findBlockByNumber(1));
    select.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 20);
    select.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor, 6);
    log->setTextCursor(select);
    QCOMPARE(log->textCursor().selectedText(), QString("second"));
    qDebug("fourth line");
    QCOMPARE(log->textCursor().selectedText(), QString("second"));
    QCOMPARE(logMessages(log), (QStringList{"first line", "second line", "third line", "fourth line"}));

    QTextCursor click(log->document()->findBlockByNumber(0));
    click.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 3);
    log->setTextCursor(click);
    qDebug("fifth line");
    QCOMPARE(logMessages(log).last(), QString("fifth line"));
    QCOMPARE(logMessages(log).first(), QString("first line"));
}

void TestMainWindow::newestLineIsVisible()
{
    MainWindowPro window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    for (int i = 0; i < 50; ++i)
        qDebug("line %d", i);
    QScrollBar *bar = log->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // Also while the user keeps a selection near the top.
    QTextCursor select(log->document()->firstBlock());
    select.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    log->setTextCursor(select);
    bar->setValue(0);
    qDebug("line 50");
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(log->textCursor().hasSelection());
}

void TestMainWindow::messageFromAnotherThread()
{
    MainWindowPro window;
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    QThread *worker = QThread::create([] { qDebug("from a worker"); });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    // Handed over, not written by the worker: it shows once the GUI loop runs.
    QVERIFY(log->document()->isEmpty());
    QTRY_COMPARE(logMessages(log), QStringList{"from a worker"});
}

void TestMainWindow::messageAfterWindowIsGone()
{
    {
        MainWindowPro window;
        qDebug("while the window lives");
    }
    QVERIFY(gLogView.isNull());
    qDebug("after the window is gone");
    qWarning("and a warning");
    QThread *worker = QThread::create([] { qDebug("late message from a worker"); });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    QCoreApplication::processEvents();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
