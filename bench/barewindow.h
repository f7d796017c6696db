#pragma once

// The least a Qt window can do to poll the supply and show it: a timer sends the
// status read on a plain QSerialPort, every arrival is appended, and a whole reply
// fills six fields. The window benchmarks set vantel's window beside it.

#include <QByteArray>
#include <QLineEdit>
#include <QSerialPort>
#include <QString>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

namespace bench {

class BareWindow : public QWidget {
public:
    static constexpr int kPollMs = 350;

    BareWindow()
    {
        auto *layout = new QVBoxLayout(this);
        for (QLineEdit *&field : m_fields) {
            field = new QLineEdit(this);
            layout->addWidget(field);
        }
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_buffer.clear();
            m_port.write(QByteArray::fromHex("010310000006C108"));
            ++m_polls;
        });
        connect(&m_port, &QSerialPort::readyRead, this, [this] {
            m_buffer += m_port.readAll();
            if (m_buffer.size() < 17) {
                return;
            }
            for (int i = 0; i < 6; ++i) {
                const int word = (quint8(m_buffer[3 + 2 * i]) << 8) | quint8(m_buffer[4 + 2 * i]);
                m_fields[i]->setText(QString::number(word / (i % 2 == 0 ? 100.0 : 1000.0), 'f', 3));
            }
            m_buffer.clear();
        });
    }
    bool start(const QString &path)
    {
        m_port.setPortName(path);
        if (!m_port.open(QIODevice::ReadWrite)) {
            return false;
        }
        m_port.setBaudRate(9600);
        m_timer.start(kPollMs);
        return true;
    }
    void stop()
    {
        m_timer.stop();
        m_port.close();
    }
    // Status reads sent since it was made.
    long polls() const { return m_polls; }

private:
    QSerialPort m_port;
    QTimer m_timer;
    QByteArray m_buffer;
    QLineEdit *m_fields[6] = {};
    long m_polls = 0;
};

} // namespace bench
