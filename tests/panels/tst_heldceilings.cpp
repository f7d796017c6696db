// A window's ceilings are held on the line it reads through, for every program on
// it: what the window types is what the line's registry holds (never above it),
// per supply, moved with the window to another line and released when it goes.
#include "engine/client.h"
#include "support/fakecommcontrol.h"
#include "ui/ceilings.h"

#include <QTest>

using engine::CeilingKind;

namespace {

// What a client's registry holds, as "5:V1280 5:A1500".
QString heldOn(const engine::Client &client)
{
    QStringList held;
    for (const engine::HeldCeiling &c : client.ceilings().held()) {
        const char kind = c.kind == CeilingKind::Voltage   ? 'V'
                          : c.kind == CeilingKind::Current ? 'A'
                                                           : 'W';
        held << QStringLiteral("%1:%2%3").arg(c.address).arg(QLatin1Char(kind)).arg(c.value);
    }
    held.sort();
    return held.join(QLatin1Char(' '));
}

ui::Ceilings ceilings(std::optional<double> v, std::optional<double> a = std::nullopt,
                      std::optional<double> w = std::nullopt)
{
    ui::Ceilings c;
    c.volts = v;
    c.amps = a;
    c.watts = w;
    return c;
}

} // namespace

class TestHeldCeilings : public QObject {
    Q_OBJECT
private slots:
    void heldOnTheLine();
};

void TestHeldCeilings::heldOnTheLine()
{
    testsupport::FakeCommControl lineA, lineB;
    engine::Client a(lineA), b(lineB);
    {
        ui::HeldCeilings held;
        // Before a line is open nothing is held; once it is, all of it is.
        held.hold(5, ceilings(12.8, 1.5));
        held.setClient(&a);
        QCOMPARE(heldOn(a), QStringLiteral("5:A1500 5:V1280"));
        // Counts never above the typed value; power in 10 mW.
        held.hold(6, ceilings(12.805, std::nullopt, 20.0));
        QCOMPARE(heldOn(a), QStringLiteral("5:A1500 5:V1280 6:V1280 6:W2000"));
        // A change replaces the supply's; none set releases it.
        held.hold(5, ceilings(10.0));
        held.hold(6, {});
        QCOMPARE(heldOn(a), QStringLiteral("5:V1000"));
        // Another line: the old one holds nothing of the window's any more.
        held.setClient(&b);
        QCOMPARE(heldOn(a), QString());
        QCOMPARE(heldOn(b), QStringLiteral("5:V1000"));
        held.setClient(nullptr);
        QCOMPARE(heldOn(b), QString());
        held.setClient(&b);
    }
    // The window gone, its ceilings go with it.
    QCOMPARE(heldOn(b), QString());
}

QTEST_GUILESS_MAIN(TestHeldCeilings)
#include "tst_heldceilings.moc"
