#include "engine/failure.h"

#include "engine/failuretable.h"

#include <utility>

namespace engine {

namespace {

// The verdict bytes: numbers of our own, kept apart from exception codes.
constexpr std::pair<Error, std::uint8_t> kVerdicts[] = {
    {Error::Timeout, 1}, {Error::Crc, 2},  {Error::Foreign, 3},
    {Error::Short, 4},   {Error::Port, 5}, {Error::Interrupted, 6},
};

} // namespace

QString errorWord(Error error, int exceptionCode)
{
    const QString word = QString::fromLatin1(facesOf(error).rowWord);
    return error == Error::Exception ? word + QStringLiteral(" %1").arg(exceptionCode) : word;
}

std::uint8_t verdictByte(Error error)
{
    for (const auto &[verdict, byte] : kVerdicts) {
        if (verdict == error) {
            return byte;
        }
    }
    return 0;
}

Error errorOfVerdictByte(std::uint8_t byte)
{
    for (const auto &[verdict, named] : kVerdicts) {
        if (named == byte) {
            return verdict;
        }
    }
    return Error::None;
}

QString Failure::word() const
{
    return errorWord(error, exceptionCode);
}

QString Failure::text() const
{
    const QString w = word();
    return detail.isEmpty() || w.isEmpty() ? w : QStringLiteral("%1 (%2)").arg(w, detail);
}

} // namespace engine
