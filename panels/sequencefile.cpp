#include "panels/sequencefile.h"

#include "sequence/sequence.h"

#include <QObject>
#include <QStringDecoder>
#include <QStringEncoder>

namespace panels {

namespace {

const QByteArray kUtf8Mark("\xEF\xBB\xBF");
const QByteArray kUtf16LeMark("\xFF\xFE");
const QByteArray kUtf16BeMark("\xFE\xFF");

} // namespace

SequenceFileText decodeSequenceFile(const QByteArray &bytes)
{
    SequenceFileText out;
    // The marks are told apart as the run tells them apart, and UTF-16 is decoded
    // by the run's own decoder, so the editor refuses what a run refuses.
    if (bytes.startsWith(kUtf16LeMark) || bytes.startsWith(kUtf16BeMark)) {
        out.encoding =
            bytes.startsWith(kUtf16LeMark) ? TextEncoding::Utf16Le : TextEncoding::Utf16Be;
        const sequence::SequenceText decoded =
            sequence::decodeSequenceText(std::string_view(bytes.constData(), bytes.size()));
        if (decoded.error) {
            out.error = QObject::tr("line %1: %2")
                            .arg(decoded.error->line)
                            .arg(QString::fromStdString(decoded.error->message));
            return out;
        }
        out.text = QString::fromStdString(decoded.text);
    } else {
        QByteArrayView body(bytes);
        if (bytes.startsWith(kUtf8Mark)) {
            out.encoding = TextEncoding::Utf8Bom;
            body = body.sliced(kUtf8Mark.size());
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        out.text = utf8.decode(body);
        if (utf8.hasError()) {
            out.encoding = TextEncoding::Other;
            out.text = QString::fromLatin1(body);
        }
    }
    out.crlf = out.text.contains(QStringLiteral("\r\n"));
    out.text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return out;
}

QByteArray encodeSequenceFile(const QString &text, TextEncoding encoding, bool crlf)
{
    QString body = text;
    if (crlf) {
        body.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    }
    switch (encoding) {
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be: {
        QStringEncoder encoder(encoding == TextEncoding::Utf16Le ? QStringEncoder::Utf16LE
                                                                 : QStringEncoder::Utf16BE,
                               QStringEncoder::Flag::WriteBom);
        return encoder.encode(body);
    }
    case TextEncoding::Utf8Bom:
        return kUtf8Mark + body.toUtf8();
    case TextEncoding::Utf8:
    case TextEncoding::Other:
        break;
    }
    return body.toUtf8();
}

QString encodingName(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8:
        return QStringLiteral("UTF-8");
    case TextEncoding::Utf8Bom:
        return QStringLiteral("UTF-8 with a byte order mark");
    case TextEncoding::Utf16Le:
        return QStringLiteral("UTF-16 LE");
    case TextEncoding::Utf16Be:
        return QStringLiteral("UTF-16 BE");
    case TextEncoding::Other:
        break;
    }
    return QObject::tr("not UTF-8 or UTF-16");
}

} // namespace panels
