#include "fileport/fileport_dialog.h"

#include "fileport/lists.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <kj/async-io.h>

namespace voxa::fileport {
namespace {

constexpr const char* kColumns[] = {"File", "Size", "Is Copied", "Remote Host", "Remote Directory",
                                    "File Type"};
constexpr int kColumnWidths[] = {100, 100, 100, 200, 200, 200};
constexpr char kAboutTitle[] = "About fileport_gui";
constexpr char kAboutText[] =
    "fileport_gui\n\nLists the data files of remote hosts and copies them, pruning brick trees "
    "to their coarser levels.";
constexpr char kTreeChoice[] = "Block Tree Data (generate a FIELD list file: *.fld)";
constexpr char kPlainChoice[] = "Non Block-Tree data (no reduction or conversion)";

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

FileportDialog::FileportDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(kDialogTitle);
    m_showMessage = [this](MessageKind kind, const QString& title, const QString& text) {
        if (kind == MessageKind::kError)
            QMessageBox::critical(this, title, text);
        else if (kind == MessageKind::kWarning)
            QMessageBox::warning(this, title, text);
        else
            QMessageBox::information(this, title, text);
    };

    auto* top = new QGridLayout;
    m_load = new QPushButton("Load From File");
    auto* edit = new QPushButton("Edit ");
    edit->setToolTip("Add the remote host and directory below to the sites");
    m_filter = new QLineEdit(kDefaultFilter);
    m_sites = new QListWidget;
    m_sites->setMaximumHeight(90);
    m_host = new QLineEdit(kDefaultHost);
    m_remoteDir = new QLineEdit(kDefaultRemoteDirectory);
    m_localDir = new QLineEdit;
    m_listFile = new QLineEdit;
    auto* browse = new QPushButton("Browse ...");
    m_prune = new QSpinBox;
    m_prune->setRange(1, 64);
    m_prune->setValue(1);

    int r = 0;
    top->addWidget(m_load, r, 0);
    top->addWidget(edit, r, 1);
    top->addWidget(new QLabel("File Filter:"), r, 2);
    top->addWidget(m_filter, r, 3);
    ++r;
    top->addWidget(new QLabel("Host : Directory"), r, 0, 1, 4);
    ++r;
    top->addWidget(m_sites, r, 0, 1, 4);
    ++r;
    top->addWidget(new QLabel("Remote Host:"), r, 0);
    top->addWidget(m_host, r, 1);
    top->addWidget(new QLabel("Remote Directory:"), r, 2);
    top->addWidget(m_remoteDir, r, 3);
    ++r;
    top->addWidget(new QLabel("Directory:"), r, 0);
    top->addWidget(m_localDir, r, 1, 1, 3);
    ++r;
    top->addWidget(new QLabel("List File:"), r, 0);
    top->addWidget(m_listFile, r, 1, 1, 2);
    top->addWidget(browse, r, 3);
    ++r;
    top->addWidget(new QLabel("Prune Block Trees to This Many Levels:"), r, 0, 1, 2);
    top->addWidget(m_prune, r, 2);

    auto* typeBox = new QGroupBox("Type of Data");
    auto* typeLayout = new QVBoxLayout(typeBox);
    m_typeTree = new QRadioButton(kTreeChoice);
    m_typePlain = new QRadioButton(kPlainChoice);
    m_typeTree->setChecked(true);
    typeLayout->addWidget(m_typeTree);
    typeLayout->addWidget(m_typePlain);
    ++r;
    top->addWidget(typeBox, r, 0, 1, 4);

    m_generate = new QPushButton("Generate List of Remote Files As Specified Above");
    m_clear = new QPushButton("Clear List");
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(m_generate);
    listRow->addWidget(m_clear);

    m_table = new QTableWidget(0, 6);
    QStringList headers;
    for (const char* c : kColumns) headers << c;
    m_table->setHorizontalHeaderLabels(headers);
    for (int c = 0; c < 6; ++c) m_table->setColumnWidth(c, kColumnWidths[c]);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->setVisible(false);

    m_copy = new QPushButton("Copy Files from Remote To Local Directory");
    m_stop = new QPushButton("Stop Copy");
    m_resume = new QPushButton("Resume Copy");
    m_stop->setEnabled(false);
    auto* copyRow = new QHBoxLayout;
    copyRow->addWidget(m_copy);
    copyRow->addWidget(m_stop);
    copyRow->addWidget(m_resume);

    m_progress = new QProgressBar;
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_status = new QLabel;
    auto* about = new QPushButton("&About fileport_gui...");
    auto* exit = new QPushButton("Exit");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    bottom->addWidget(about);
    bottom->addWidget(exit);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(listRow);
    layout->addWidget(m_table, 1);
    layout->addLayout(copyRow);
    layout->addWidget(m_progress);
    layout->addLayout(bottom);
    resize(960, 720);

    connect(m_load, &QPushButton::clicked, this, &FileportDialog::OnLoadFromFile);
    connect(edit, &QPushButton::clicked, this, &FileportDialog::OnEditSite);
    connect(browse, &QPushButton::clicked, this, &FileportDialog::OnBrowse);
    connect(m_generate, &QPushButton::clicked, this, &FileportDialog::GenerateList);
    connect(m_clear, &QPushButton::clicked, this, &FileportDialog::ClearList);
    connect(m_copy, &QPushButton::clicked, this, &FileportDialog::CopyFiles);
    connect(m_resume, &QPushButton::clicked, this, &FileportDialog::CopyFiles);
    connect(m_stop, &QPushButton::clicked, this, &FileportDialog::StopCopy);
    connect(about, &QPushButton::clicked, this, &FileportDialog::OnAbout);
    connect(exit, &QPushButton::clicked, this, &QDialog::close);
    connect(m_sites, &QListWidget::currentTextChanged, this, [this](const QString& text) {
        auto site = SplitSite(text.toStdString());
        if (!site.ok()) return;
        m_host->setText(Q(site->host));
        m_remoteDir->setText(Q(site->directory));
    });
}

FileportDialog::~FileportDialog() {
    m_stopRequested = true;
    JoinWorker();
}

void FileportDialog::closeEvent(QCloseEvent* event) {
    m_stopRequested = true;
    JoinWorker();
    event->accept();
}

void FileportDialog::Message(MessageKind kind, const QString& title, const QString& text) {
    m_status->setText(text);
    if (m_showMessage) m_showMessage(kind, title, text);
}

void FileportDialog::SetBusy(bool busy) {
    for (QPushButton* b : {m_generate, m_clear, m_copy, m_resume, m_load}) b->setEnabled(!busy);
    m_stop->setEnabled(busy);
}

DataType FileportDialog::SelectedDataType() const {
    return m_typePlain->isChecked() ? DataType::kPlain : DataType::kBlockTree;
}

void FileportDialog::SetRow(int row, const FileRow& v) {
    const std::string* values[] = {&v.file, &v.size, &v.isCopied, &v.remoteHost, &v.remoteDirectory,
                                   &v.fileType};
    for (int c = 0; c < 6; ++c) {
        QTableWidgetItem* item = m_table->item(row, c);
        if (!item) {
            item = new QTableWidgetItem;
            m_table->setItem(row, c, item);
        }
        item->setText(Q(*values[c]));
    }
}

FileRow FileportDialog::RowAt(int row) const {
    auto text = [&](int c) {
        QTableWidgetItem* item = m_table->item(row, c);
        return item ? item->text().toStdString() : std::string();
    };
    return FileRow{text(0), text(1), text(2), text(3), text(4), text(5)};
}

bool FileportDialog::LoadRemoteDirectoryList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Message(MessageKind::kError, "fileport_gui", "Cannot read " + path);
        return false;
    }
    auto rdl = ParseRemoteDirectoryList(file.readAll().toStdString());
    if (!rdl.ok()) {
        Message(MessageKind::kError, "fileport_gui", path + ": " + Q(rdl.status().message()));
        return false;
    }
    m_filter->setText(Q(rdl->filter));
    m_sites->clear();
    for (const std::string& s : rdl->sites) m_sites->addItem(Q(s));
    if (!rdl->sites.empty()) {
        auto first = SplitSite(rdl->sites[0]);
        m_host->setText(Q(first->host));
        m_remoteDir->setText(Q(first->directory));
    }
    return true;
}

void FileportDialog::ApplyListFileChoice(const QString& chosenPath) {
    ListFileChoice c = ChooseListFileName(chosenPath.toStdString(), SelectedDataType());
    m_listFile->setText(Q(c.name));
    m_localDir->setText(Q(c.directory));
    if (!c.warning.empty()) Message(MessageKind::kWarning, kWarningTitle, Q(c.warning));
}

void FileportDialog::StartWorker(std::function<void()> work) {
    JoinWorker();
    m_stopRequested = false;
    m_workerDone = false;
    SetBusy(true);
    m_progress->setValue(0);
    m_worker = std::thread([this, work = std::move(work)]() {
        work();
        m_workerDone = true;
        QMetaObject::invokeMethod(this, [this]() {
            JoinWorker();
            SetBusy(false);
        }, Qt::QueuedConnection);
    });
}

void FileportDialog::JoinWorker() {
    if (m_worker.joinable()) m_worker.join();
}

void FileportDialog::GenerateList() {
    if (Busy()) return;
    std::vector<Site> sites;
    for (int i = 0; i < m_sites->count(); ++i) {
        auto s = SplitSite(m_sites->item(i)->text().toStdString());
        if (s.ok()) sites.push_back(*s);
        else Message(MessageKind::kError, "fileport_gui", Q(s.status().message()));
    }
    const std::string filter = m_filter->text().toStdString();
    const std::string local = m_localDir->text().isEmpty() ? "." : m_localDir->text().toStdString();
    m_status->setText("Listing ...");
    StartWorker([this, sites, filter, local]() {
        auto io = kj::setupAsyncIo();
        FileCopier copier(io);
        int position = 0;
        for (const Site& site : sites) {
            if (m_stopRequested) break;
            auto rows = copier.ListSite(site, filter, local);
            if (!rows.ok()) {
                QString text = Q(rows.status().message());
                QMetaObject::invokeMethod(this, [this, text]() {
                    Message(MessageKind::kError, "fileport_gui", text);
                }, Qt::QueuedConnection);
                continue;
            }
            std::vector<FileRow> batch = std::move(*rows);
            QMetaObject::invokeMethod(this, [this, batch, position]() {
                int at = position;
                for (const FileRow& row : batch) {
                    m_table->insertRow(at);
                    SetRow(at, row);
                    ++at;
                }
                m_status->setText(QString("%1 files listed").arg(m_table->rowCount()));
            }, Qt::QueuedConnection);
            position += static_cast<int>(batch.size());
        }
    });
}

void FileportDialog::ClearList() {
    if (Busy()) return;
    m_table->setRowCount(0);
}

void FileportDialog::CopyFiles() {
    if (Busy()) return;
    if (m_table->rowCount() == 0) {
        Message(MessageKind::kInformation, "fileport_gui", kNoFilesMessage);
        return;
    }
    std::vector<FileRow> rows;
    for (int i = 0; i < m_table->rowCount(); ++i) rows.push_back(RowAt(i));
    CopySettings settings;
    settings.localDirectory = m_localDir->text().isEmpty() ? "." : m_localDir->text().toStdString();
    settings.pruneLevels = m_prune->value();
    settings.dataType = SelectedDataType();
    settings.listFileName = m_listFile->text().toStdString();
    m_status->setText("Copying ...");
    StartWorker([this, rows, settings]() mutable {
        auto io = kj::setupAsyncIo();
        FileCopier copier(io);
        CopyObserver observer;
        observer.stop = &m_stopRequested;
        observer.rowChanged = [this](size_t i, const FileRow& row) {
            QMetaObject::invokeMethod(this, [this, i, row]() {
                if (static_cast<int>(i) >= m_table->rowCount()) return;
                SetRow(static_cast<int>(i), row);
                if (row.isCopied == kCopiedYes) m_table->scrollToItem(m_table->item(static_cast<int>(i), 0));
            }, Qt::QueuedConnection);
        };
        observer.progress = [this](int64_t done, int64_t total) {
            int value = total > 0 ? static_cast<int>(done * 1000 / total) : 0;
            QMetaObject::invokeMethod(this, [this, value]() { m_progress->setValue(value); },
                                      Qt::QueuedConnection);
        };
        observer.message = [this](const std::string& m) {
            QString text = Q(m);
            QMetaObject::invokeMethod(this, [this, text]() { m_status->setText(text); },
                                      Qt::QueuedConnection);
        };
        auto attempted = copier.CopyRows(&rows, settings, observer);
        QString text = attempted.ok() ? QString("%1 files attempted").arg(*attempted)
                                      : Q(attempted.status().message());
        const bool failed = !attempted.ok();
        QMetaObject::invokeMethod(this, [this, text, failed]() {
            if (failed) Message(MessageKind::kError, "fileport_gui", text);
            else m_status->setText(text);
        }, Qt::QueuedConnection);
    });
}

void FileportDialog::StopCopy() { m_stopRequested = true; }

void FileportDialog::OnLoadFromFile() {
    QString path = QFileDialog::getOpenFileName(this, "Load From File", QString(),
                                                "Remote Directory List (*.rdl)");
    if (!path.isEmpty()) LoadRemoteDirectoryList(path);
}

void FileportDialog::OnBrowse() {
    QString path = QFileDialog::getSaveFileName(this, "List File", m_localDir->text(),
                                                "FIELD list (*.fld);;All files (*)");
    if (!path.isEmpty()) ApplyListFileChoice(path);
}

void FileportDialog::OnEditSite() {
    const QString site = m_host->text() + ":" + m_remoteDir->text();
    if (!SplitSite(site.toStdString()).ok()) {
        Message(MessageKind::kError, "fileport_gui", "A site needs a remote host and a directory");
        return;
    }
    m_sites->addItem(site);
}

void FileportDialog::OnAbout() {
    QMessageBox::about(this, kAboutTitle, kAboutText);
}

}  // namespace voxa::fileport
