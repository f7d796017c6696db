#include "panels/recorder.h"

namespace panels {

Recorder::Recorder(MonitorLink &link, QObject *parent) : QObject(parent), m_link(link)
{
    connect(&m_link, &MonitorLink::polled, this, &Recorder::onPoll);
}

Recorder::~Recorder() = default;

QString Recorder::start(const QString &path)
{
    stop();
    auto writer = std::make_unique<records::RowWriter>(records::RowWriter::Format::Csv);
    const QString refused = writer->open(path, records::RowWriter::Existing::Refuse);
    if (!refused.isEmpty()) {
        return refused;
    }
    m_writer = std::move(writer);
    m_rows = std::make_unique<records::RowMaker>();
    m_path = path;
    m_lastRows = 0;
    emit stateChanged();
    return {};
}

void Recorder::stop()
{
    if (!m_writer) {
        return;
    }
    m_lastRows = m_writer->rowsWritten();
    m_writer.reset();
    m_rows.reset();
    emit stateChanged();
}

void Recorder::endWith(const QString &why)
{
    stop();
    emit ended(why);
}

void Recorder::onPoll(const Poll &poll)
{
    if (!m_writer) {
        return;
    }
    const records::Row row = m_rows->make(poll.address, poll.sentTime, poll.reading, poll.failure);
    const QString failed = m_writer->write(row);
    if (!failed.isEmpty()) {
        endWith(tr("The recording stopped: %1").arg(failed));
        return;
    }
    emit rowWritten(m_writer->rowsWritten());
}

} // namespace panels
