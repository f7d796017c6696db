#include "ui/portconnection.h"

#include "numtext/numtext.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>

#include <optional>

namespace ui {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

const QColor kYellow(255, 255, 0);
const QColor kGreen(0, 255, 0);

QString msgNotFound()
{
    return QStringLiteral("This serial port is not found！");
}

QString msgOccupied()
{
    return QStringLiteral("This serial port is occupied！");
}

QString msgLookFirst()
{
    return QStringLiteral("Please look for the serial port！");
}

QString captionOpen()
{
    return QStringLiteral("Open serial port");
}

bool isOdd(qint16 count)
{
    return (count & 1) != 0;
}

qint16 advance(qint16 count)
{
    // A 16-bit counter that wraps from 32767 to -32768 keeps its parity rhythm.
    return static_cast<qint16>(static_cast<quint16>(count) + 1U);
}

} // namespace

std::optional<int> portNumberFromName(const QString &name)
{
    QString rest = name;
    rest.remove(QStringLiteral("COM"), Qt::CaseSensitive);
    const double value = numtext::readLenient(rest.toStdString());
    const auto number = numtext::toInt16(value);
    if (!number || *number < kFirstPort) {
        return std::nullopt;
    }
    return *number;
}

PortConnection::PortConnection(serial::CommControl &comm, ui::Messenger &messenger, QWidget *window,
                               PortControls controls)
    : m_comm(comm), m_messenger(messenger), m_window(window), m_controls(controls)
{
    // The text names the port as typed: an editable combo box would otherwise
    // complete what the user types to a listed name.
    m_controls.Combo1->setCompleter(nullptr);
    m_openEnded =
        QObject::connect(&m_comm, &serial::CommControl::openEnded, m_controls.Combo1,
                         [this](int error, const QString &reason) { onOpenEnded(error, reason); });
}

PortConnection::~PortConnection()
{
    QObject::disconnect(m_openEnded);
}

void PortConnection::search()
{
    QComboBox *list = m_controls.Combo1;
    list->clear();
    list->setEditText(QString());
    m_comm.nameNewAdapters();
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        // The window's own open port is in use, so it is listed; probing it would
        // close it behind the user's back. A port this user may not open is listed
        // too, so that opening it can say why.
        const int error = m_comm.probePort(port);
        if (error == 0 || error == serial::kErrPortInUse || error == serial::kErrNoAccess) {
            list->addItem(QStringLiteral("COM") + QString::number(port));
        }
    }
    if (list->count() > 0) {
        list->setCurrentIndex(0);
        list->setEditText(list->itemText(0));
    }
    if (list->currentText().isEmpty()) {
        m_messenger.inform(m_window, msgNotFound());
    }
}

void PortConnection::openOrClose()
{
    const QString name = m_controls.Combo1->currentText();
    if (name.isEmpty()) {
        m_messenger.inform(m_window, msgLookFirst());
        return;
    }
    if (m_comm.PortOpen()) {
        m_comm.setPortOpen(false);
    }
    const std::optional<int> port = portNumberFromName(name);
    if (!port) {
        // No usable port number: the port stays closed. If the window showed it
        // open, finish the close so that the next press opens again.
        if (isOdd(m_openClickCount)) {
            m_openClickCount = advance(m_openClickCount);
            closeSteps();
        }
        m_messenger.inform(m_window, msgNotFound());
        return;
    }

    int error = 0;
    QString description;
    try {
        m_comm.setCommPort(*port);
        m_openClickCount = advance(m_openClickCount);
        if (isOdd(m_openClickCount)) {
            m_comm.setPortOpen(true);
            if (m_comm.PortOpening()) {
                // A network line looks its host up and connects: the press
                // again cancels it, and the end of the open is reported.
                m_controls.Label1->setText(QStringLiteral("Serial port ") + QStringLiteral("COM") +
                                           QString::number(m_comm.CommPort()) +
                                           QStringLiteral(" connecting…"));
                m_controls.C31->setCaption(QStringLiteral("Close serial port"));
            } else {
                showOpened();
            }
        } else {
            closeSteps();
        }
    } catch (const serial::CommError &failure) {
        error = failure.number();
        description = QString::fromStdString(failure.what());
    }
    reportFailure(error, description);
}

void PortConnection::showOpened()
{
    m_controls.Label1->setText(QStringLiteral("Serial port ") + QStringLiteral("COM") +
                               QString::number(m_comm.CommPort()) + QStringLiteral(" ") +
                               QStringLiteral("Opened successfully"));
    m_controls.C31->setCaption(QStringLiteral("Close serial port"));
    m_controls.C31->setBackColor(kGreen);
    if (afterOpen) {
        afterOpen();
    }
}

void PortConnection::reportFailure(int error, const QString &description)
{
    if (error == serial::kErrPortInUse) {
        m_messenger.inform(m_window, msgOccupied());
        m_controls.C31->setCaption(captionOpen());
        m_openClickCount = advance(m_openClickCount);
    } else if (error == serial::kErrPortNotFound) {
        m_controls.C31->setCaption(captionOpen());
        m_openClickCount = advance(m_openClickCount);
        m_messenger.inform(m_window, msgNotFound());
    } else if (error != 0) {
        // Any other failure is reported too, and the next press tries to open again.
        m_controls.C31->setCaption(captionOpen());
        if (isOdd(m_openClickCount)) {
            m_openClickCount = advance(m_openClickCount);
        }
        m_messenger.inform(m_window, description);
    }
}

void PortConnection::onOpenEnded(int error, const QString &reason)
{
    // An open the user has cancelled since is not reported.
    if (!isOdd(m_openClickCount)) {
        return;
    }
    if (error == 0) {
        showOpened();
        return;
    }
    // The status line keeps the reason the box cannot give.
    m_controls.Label1->setText(QStringLiteral("Serial port ") + QStringLiteral("COM") +
                               QString::number(m_comm.CommPort()) + QStringLiteral(": ") + reason);
    // The box waits for the event loop: the open ended inside the line's own
    // callback, and a modal box there would hold the line up.
    m_controls.C31->setCaption(captionOpen());
    m_openClickCount = advance(m_openClickCount);
    const QString message = error == serial::kErrPortInUse      ? msgOccupied()
                            : error == serial::kErrPortNotFound ? msgNotFound()
                                                                : reason;
    QTimer::singleShot(0, m_controls.Combo1,
                       [this, message] { m_messenger.inform(m_window, message); });
}

void PortConnection::release()
{
    if (m_comm.PortOpen()) {
        try {
            m_comm.setPortOpen(false);
        } catch (const serial::CommError &) {
            // Nothing more can be done for a port that fails to close.
        }
    }
}

void PortConnection::closeSteps()
{
    if (beforeClose) {
        beforeClose();
    }
    m_controls.Label1->setText(QStringLiteral("The serial port has been closed "));
    m_controls.C31->setCaption(captionOpen());
    m_controls.C31->setBackColor(kYellow);
    m_comm.setPortOpen(false);
}

} // namespace ui
