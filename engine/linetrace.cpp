#include "engine/linetrace.h"

Q_LOGGING_CATEGORY(lcLine, "vantel.line", QtInfoMsg)

namespace engine {

namespace {

std::FILE *g_traceOut = nullptr;
QtMessageHandler g_previousHandler = nullptr;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

void traceFilter(QLoggingCategory *category)
{
    if (g_previousFilter != nullptr) {
        g_previousFilter(category);
    }
    if (qstrcmp(category->categoryName(), "vantel.line") == 0) {
        category->setEnabled(QtDebugMsg, true);
    }
}

void traceHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_traceOut != nullptr && context.category != nullptr &&
        qstrcmp(context.category, "vantel.line") == 0) {
        std::fprintf(g_traceOut, "%s\n", message.toLocal8Bit().constData());
        std::fflush(g_traceOut);
        return;
    }
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    }
}

} // namespace

void enableLineTrace(std::FILE *out)
{
    if (g_traceOut == nullptr) {
        g_previousHandler = qInstallMessageHandler(traceHandler);
        g_traceOut = out;
        g_previousFilter = QLoggingCategory::installFilter(traceFilter);
    }
    g_traceOut = out;
}

} // namespace engine
