#pragma once

#include <QByteArray>
#include <QString>

namespace panels {

// How a sequence file's bytes hold its text, so that a save writes it back the
// way it was read.
enum class TextEncoding {
    Utf8,    // UTF-8 or ASCII, no byte order mark
    Utf8Bom, // UTF-8 after its byte order mark
    Utf16Le, // UTF-16 after its mark, as Windows PowerShell 5.1 writes it
    Utf16Be,
    Other, // neither: shown byte for byte as Latin-1, saved as UTF-8 only when asked
};

struct SequenceFileText {
    QString text; // line ends as "\n"
    TextEncoding encoding = TextEncoding::Utf8;
    bool crlf = false; // the file's lines end in CR LF
    QString error;     // set: the bytes are no text a run takes ("line 3: …")
};

// A file's bytes as the editor shows them, decoded as a run decodes them.
SequenceFileText decodeSequenceFile(const QByteArray &bytes);
// The bytes a save writes: `text` in `encoding`, with its mark and line ends.
// Other is written as UTF-8.
QByteArray encodeSequenceFile(const QString &text, TextEncoding encoding, bool crlf);
// "UTF-16 LE", for the window's messages.
QString encodingName(TextEncoding encoding);

} // namespace panels
