// What a station decides for the widgets plugged into it, and how it counts
// them: scripts of listings and finished attempts, and what came of them.
#include "stationledger.h"

#include <QtTest>

class TestStationLedger : public QObject
{
    Q_OBJECT

private slots:
    void decisions_data()
    {
        // Steps: "list SERIAL@PORT ..." (every attachment present),
        // "finish INDEX done|lost|refused" (an attempt ends: every page
        // accepted; pulled out at page 2 of 4; page 1 refused), "end".
        // Each decision is logged as "start|recover|hold|ignore INDEX-or-SERIAL".
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("recoverAll");
        QTest::addColumn<QStringList>("decisions");
        QTest::addColumn<QString>("tally"); // widgets, updated, exit code

        QTest::newRow("one widget") << QStringList{"list A@1", "list A@1", "finish 0 done", "list A@1"} << false
                                    << QStringList{"start 0 A"} << "1 1 0";
        // Pulled out and plugged in again: updated again, counted once.
        QTest::newRow("plugged in again") << QStringList{"list A@1", "finish 0 done", "list", "list A@2", "finish 1 done"}
                                          << false << QStringList{"start 0 A", "start 1 A"} << "1 1 0";
        QTest::newRow("twins: the second waits its turn")
            << QStringList{"list A@1 A@2", "finish 0 done", "list A@2", "finish 1 done"} << false
            << QStringList{"start 0 A", "hold: another widget with serial A", "start 1 A"} << "2 2 0";
        QTest::newRow("a twin never had its turn") << QStringList{"list A@1 A@2", "finish 0 done", "end"} << false
                                                   << QStringList{"start 0 A", "hold: another widget with serial A"}
                                                   << "2 1 8";
        // The twin that was pulled out mid-update is a widget of its own, lost.
        QTest::newRow("a twin lost") << QStringList{"list A@1 A@2", "list A@2", "finish 0 lost", "finish 1 done"} << false
                                     << QStringList{"start 0 A", "hold: another widget with serial A", "start 1 A"}
                                     << "2 1 9";
        // Back before its cut-off attempt ended: no twin, it waits for that
        // attempt, then is brought back from the loader this station left
        // it in.
        QTest::newRow("stranded, back at once")
            << QStringList{"list A@1", "list", "list A@2", "list A@2", "finish 0 lost", "finish 1 done"} << false
            << QStringList{"start 0 A", "recover 1 A"} << "1 1 0";
        QTest::newRow("refused pages strand it too")
            << QStringList{"list A@1", "finish 0 refused", "list", "list A@2", "finish 1 done"} << false
            << QStringList{"start 0 A", "recover 1 A"} << "1 1 0";
        // An attempt that never reached the loader leaves nothing to recover.
        QTest::newRow("not started strands nothing")
            << QStringList{"list A@1", "finish 0 notstarted", "list", "list A@2", "finish 1 refused"} << false
            << QStringList{"start 0 A", "start 1 A"} << "1 0 6";
        QTest::newRow("another widget back is no recovery")
            << QStringList{"list A@1", "finish 0 lost", "list", "list B@2", "finish 1 done"} << false
            << QStringList{"start 0 A", "start 1 B"} << "2 1 9";
        QTest::newRow("with --recover every one recovers")
            << QStringList{"list A@1", "finish 0 lost", "list", "list A@2", "finish 1 done"} << true
            << QStringList{"start 0 A", "start 1 A"} << "1 1 0";
        QTest::newRow("no serial: said once, never updated")
            << QStringList{"list @1 B@2", "list @1 B@2", "finish 0 done"} << false
                                                             << QStringList{"ignore: a widget without a readable serial number",
                                                                            "start 0 B"}
                                                             << "1 1 0";
    }

    void decisions()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, recoverAll);
        QFETCH(QStringList, decisions);
        QFETCH(QString, tally);

        StationLedger ledger(recoverAll);
        QStringList log;
        QVector<WidgetRun> started;
        auto note = [&](const QVector<StationLedger::Action> &actions) {
            static const char *const names[] = {"start", "recover", "hold", "ignore"};
            for (const StationLedger::Action &a : actions) {
                QString line = names[int(a.decision)];
                if (a.decision == StationLedger::Decision::Start || a.decision == StationLedger::Decision::Recover) {
                    line += QStringLiteral(" %1 %2").arg(a.run.index).arg(QString::fromLatin1(a.run.serial));
                    started << a.run;
                }
                if (!a.note.isEmpty())
                    line += ": " + a.note.left(a.note.indexOf(QRegularExpression(" (is attached|cannot)")));
                log << line;
            }
        };
        for (const QString &step : qAsConst(steps)) {
            const QStringList words = step.split(' ', Qt::SkipEmptyParts);
            if (words[0] == "list") {
                QVector<lumora::DeviceEntry> present;
                for (const QString &plug : words.mid(1)) {
                    lumora::DeviceEntry entry;
                    entry.location = plug.section('@', 1).toUInt();
                    entry.serial = plug.section('@', 0, 0).toLatin1();
                    present << entry;
                }
                note(ledger.listed(present));
            } else if (words[0] == "finish") {
                WidgetRun run = started[words[1].toInt()];
                const QString how = words[2];
                run.started = how != "notstarted";
                run.pageCount = 4;
                run.pagesSent = how == "lost" ? 1 : how == "notstarted" ? 0 : 4;
                run.pagesRefused = how == "refused";
                run.result = how == "done" ? WidgetResult::Done
                             : how == "lost" ? WidgetResult::WidgetLost
                             : how == "refused" ? WidgetResult::PagesRefused
                                                : WidgetResult::OpenFailed;
                ledger.finished(run);
                note(ledger.decide());
            } else {
                ledger.endHeld();
            }
        }
        QCOMPARE(log, decisions);
        const Tally t = ledger.tally(false, false);
        QCOMPARE(QStringLiteral("%1 %2 %3").arg(t.widgets).arg(t.succeeded).arg(t.code), tally);
    }
};

QTEST_GUILESS_MAIN(TestStationLedger)
#include "tst_stationledger.moc"
