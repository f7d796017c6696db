#include "panels/windows.h"

#include "panels/monitorpanels.h"

#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace panels {

FolderRow::FolderRow(MonitorPanels &panels, QWidget *parent)
    : QWidget(parent), folder(new QLineEdit(this)),
      openFolder(new QPushButton(tr("Open folder"), this)), refusal(new QLabel(this))
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("Records folder:"), this));
    row->addWidget(folder, 1);
    row->addWidget(openFolder);
    outer->addLayout(row);
    outer->addWidget(refusal);
    refusal->setStyleSheet(QStringLiteral("color: #b00000"));
    refusal->hide();
    folder->setObjectName(QStringLiteral("recordsFolder"));
    folder->setText(QDir::toNativeSeparators(panels.recordsFolder()));
    connect(folder, &QLineEdit::editingFinished, this, [this, &panels] {
        const QString chosen = QDir::fromNativeSeparators(folder->text().trimmed());
        if (QDir::cleanPath(chosen) == panels.recordsFolder()) {
            refusal->hide();
            return;
        }
        // A folder that cannot take records is refused as typed; the old one stays.
        const QString refused = panels.setRecordsFolder(chosen);
        if (!refused.isEmpty()) {
            refusal->setText(tr("Not changed: %1.").arg(refused));
            refusal->show();
            folder->setText(QDir::toNativeSeparators(panels.recordsFolder()));
            return;
        }
        refusal->hide();
    });
    connect(&panels, &MonitorPanels::recordsFolderChanged, this,
            [this, &panels] { folder->setText(QDir::toNativeSeparators(panels.recordsFolder())); });
    connect(openFolder, &QPushButton::clicked, this, [&panels] {
        QDir().mkpath(panels.recordsFolder());
        QDesktopServices::openUrl(QUrl::fromLocalFile(panels.recordsFolder()));
    });
}

} // namespace panels
