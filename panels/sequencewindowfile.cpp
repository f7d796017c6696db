// The sequence window's file: open, save and save as, changes on the disk, and
// edits not yet saved.
#include "panels/windows.h"

#include "panels/monitorpanels.h"
#include "ui/messenger.h"

#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QSaveFile>

namespace panels {

namespace {

// The file's bytes now; nullopt when it cannot be read (gone, say).
std::optional<QByteArray> readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

QString SequenceWindow::fileFilter()
{
    return QStringLiteral("Sequence files (*.txt *.seq)");
}

bool SequenceWindow::openFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_panels.messenger().inform(
            this,
            tr("%1 could not be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    // Decoded as a run decodes a file: UTF-8 with or without its mark, UTF-16
    // with its mark.
    const SequenceFileText read = decodeSequenceFile(bytes);
    if (!read.error.isEmpty()) {
        m_panels.messenger().inform(
            this, tr("%1 is not opened: %2").arg(QDir::toNativeSeparators(path), read.error));
        return false;
    }
    setFile(path, bytes, read.encoding, read.crlf);
    editor->setPlainText(read.text);
    editor->document()->setModified(false);
    updateTitle();
    checkNow();
    return true;
}

void SequenceWindow::setFile(const QString &path, const std::optional<QByteArray> &bytes,
                             TextEncoding encoding, bool crlf)
{
    m_path = path;
    m_diskBytes = bytes;
    m_declinedBytes.reset();
    m_encoding = encoding;
    m_crlf = crlf;
    if (!m_watcher.files().isEmpty()) {
        m_watcher.removePaths(m_watcher.files());
    }
    if (!path.isEmpty() && bytes) {
        m_watcher.addPath(path);
    }
}

void SequenceWindow::diskChanged()
{
    if (m_path.isEmpty() || m_askingDisk || m_panels.running() || !isVisible()) {
        return; // a run's end, or the window shown again, looks again
    }
    const std::optional<QByteArray> now = readBytes(m_path);
    // A file replaced by another (as editors save) leaves the watcher: watch it again.
    if (now && !m_watcher.files().contains(m_path)) {
        m_watcher.addPath(m_path);
    }
    if (!now || now == m_diskBytes || now == m_declinedBytes) {
        return;
    }
    m_askingDisk = true;
    const QString name = QDir::toNativeSeparators(m_path);
    const bool reload = m_panels.ask(
        this, modified()
                  ? tr("%1 was changed on disk. Reload it and lose your changes here?").arg(name)
                  : tr("%1 was changed on disk. Reload it?").arg(name));
    m_askingDisk = false;
    if (reload) {
        openFile(m_path);
    } else {
        m_declinedBytes = now;
    }
}

bool SequenceWindow::save()
{
    if (m_path.isEmpty()) {
        return saveAs();
    }
    const QString name = QDir::toNativeSeparators(m_path);
    if (m_encoding == TextEncoding::Other &&
        !m_panels.ask(
            this,
            tr("%1 was read as neither UTF-8 nor UTF-16 text. Save it as UTF-8?").arg(name))) {
        return false;
    }
    const std::optional<QByteArray> now = readBytes(m_path);
    if (now && now != m_diskBytes &&
        !m_panels.ask(this,
                      tr("%1 was changed on disk since it was read. Overwrite it?").arg(name))) {
        return false;
    }
    const QByteArray bytes = encodeSequenceFile(editor->toPlainText(), m_encoding, m_crlf);
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        m_panels.messenger().inform(this,
                                    tr("%1 could not be written: %2")
                                        .arg(QDir::toNativeSeparators(m_path), file.errorString()));
        return false;
    }
    setFile(m_path, bytes, m_encoding == TextEncoding::Other ? TextEncoding::Utf8 : m_encoding,
            m_crlf);
    editor->document()->setModified(false);
    updateTitle();
    checkNow();
    return true;
}

bool SequenceWindow::saveAs()
{
    const QString suggested =
        m_path.isEmpty() ? QDir(m_panels.recordsFolder()).filePath(QStringLiteral("sequence.txt"))
                         : m_path;
    const QString path = m_askSave(this, tr("Save the sequence"), suggested, fileFilter());
    if (path.isEmpty()) {
        return false;
    }
    const QString previous = m_path;
    const std::optional<QByteArray> previousBytes = m_diskBytes;
    // The dialog asked before an existing file is replaced.
    setFile(path, readBytes(path), m_encoding, m_crlf);
    if (!save()) {
        setFile(previous, previousBytes, m_encoding, m_crlf);
        return false;
    }
    return true;
}

bool SequenceWindow::settleUnsaved()
{
    if (!modified()) {
        return true;
    }
    const Unsaved answer = askUnsaved(this);
    if (answer == Unsaved::Cancel || (answer == Unsaved::Save && !save())) {
        return false;
    }
    if (answer == Unsaved::Discard) {
        editor->document()->setModified(false);
    }
    return true;
}

} // namespace panels
