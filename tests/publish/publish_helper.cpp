// A publisher in a process of its own, for the test that kills it: publishes a
// reading for address 1 every 100 ms until it is killed.
//   publish_helper URL PREFIX

#include "publish/publisher.h"

#include <QCoreApplication>

#include <cstdio>
#include <thread>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        return 2;
    }
    QString error;
    publish::PublisherSettings settings;
    settings.url = *publish::parseMqttUrl(QString::fromUtf8(argv[1]), error);
    settings.topics.prefix = QString::fromUtf8(argv[2]);
    publish::Publisher publisher(
        settings, [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    if (!publisher.start(error)) {
        return 1;
    }
    for (int i = 0;; ++i) {
        publisher.publishReading(1, QByteArray::number(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
