#include "movie/vw_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>

namespace voxa::movie {
namespace {

constexpr int kRefreshMs = 100;
constexpr int kDefaultSpeed = 10;

QLineEdit* Field(const QString& text, bool readOnly = false) {
    auto* edit = new QLineEdit(text);
    edit->setReadOnly(readOnly);
    edit->setMaximumWidth(90);
    return edit;
}

}  // namespace

VwDialog::VwDialog(WallCommands& wall, QWidget* parent) : QDialog(parent), m_wall(wall) {
    setWindowTitle("vw");
    m_warn = [this](const std::string& title, const std::string& text) {
        QMessageBox::warning(this, QString::fromStdString(title), QString::fromStdString(text));
    };
    m_play = new QPushButton("Play");
    m_play->setDefault(true);
    m_stop = new QPushButton("Stop");
    m_back = new QPushButton("Frame ---");
    m_forward = new QPushButton("Frame ++");
    m_goTo = new QPushButton("Go To Frame");
    m_read = new QPushButton("Read Panel List From File ...");
    m_initialize = new QPushButton("Initialize");
    m_exit = new QPushButton("EXIT");
    m_goToField = Field("0");
    m_currentFrame = Field("0", true);
    m_speed = Field(QString::number(kDefaultSpeed));
    m_zoom = Field("1.000000");

    m_list = new QTreeWidget;
    m_list->setRootIsDecorated(false);
    m_list->setAccessibleName("Panel List");
    QStringList headers = {"Host", "Status", "Nx", "Ny"};
    for (int s = 0; s < kShownSegments; ++s)
        headers << "File"
                << "Nf";
    m_list->setHeaderLabels(headers);
    const int widths[4] = {100, 50, 40, 40};
    for (int c = 0; c < 4; ++c) m_list->setColumnWidth(c, widths[c]);
    for (int s = 0; s < kShownSegments; ++s) {
        m_list->setColumnWidth(4 + 2 * s, 200);
        m_list->setColumnWidth(5 + 2 * s, 40);
    }

    auto* grid = new QGridLayout(this);
    auto* menuBar = new QMenuBar;
    QMenu* menu = menuBar->addMenu("vw");
    menu->addAction("&About vw...", this,
                    [this] { QMessageBox::about(this, kAboutTitle, kAboutText); });
    grid->setMenuBar(menuBar);
    grid->addWidget(m_play, 0, 0);
    grid->addWidget(m_stop, 0, 1);
    grid->addWidget(m_back, 0, 2);
    grid->addWidget(m_forward, 0, 3);
    grid->addWidget(m_goTo, 1, 0);
    grid->addWidget(m_goToField, 1, 1);
    grid->addWidget(new QLabel("Current Frame"), 1, 2);
    grid->addWidget(m_currentFrame, 1, 3);
    grid->addWidget(new QLabel("Frames per Sec."), 2, 0);
    grid->addWidget(m_speed, 2, 1);
    grid->addWidget(new QLabel("Zoom Factor"), 2, 2);
    grid->addWidget(m_zoom, 2, 3);
    grid->addWidget(m_read, 3, 0, 1, 2);
    grid->addWidget(m_initialize, 3, 2);
    grid->addWidget(m_exit, 3, 3);
    grid->addWidget(new QLabel("Panel List"), 4, 0);
    grid->addWidget(m_list, 5, 0, 1, 4);
    for (int c = 0; c < 4; ++c) grid->setColumnStretch(c, 1);
    resize(720, 420);

    connect(m_play, &QPushButton::clicked, this, [this] { Post(m_wall.Play(Speed(), Zoom())); });
    connect(m_stop, &QPushButton::clicked, this, [this] { Post(m_wall.Stop()); });
    connect(m_back, &QPushButton::clicked, this, [this] { Post(m_wall.FrameBack()); });
    connect(m_forward, &QPushButton::clicked, this, [this] { Post(m_wall.FrameForward()); });
    connect(m_goTo, &QPushButton::clicked, this,
            [this] { Post(m_wall.GoToFrame(m_goToField->text().toInt()), true); });
    connect(m_initialize, &QPushButton::clicked, this, [this] { Post(m_wall.Initialize(Zoom())); });
    connect(m_read, &QPushButton::clicked, this, [this] { OnRead(); });
    connect(m_exit, &QPushButton::clicked, this, [this] { OnExit(); });

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] { Refresh(); });
    m_timer->start(kRefreshMs);
}

VwDialog::~VwDialog() = default;

void VwDialog::SetWarningSink(std::function<void(const std::string&, const std::string&)> sink) {
    m_warn = std::move(sink);
}

void VwDialog::Warn(const std::string& title, const std::string& text) {
    m_warn(title, text);
}

void VwDialog::SetFields(std::optional<int> speed, std::optional<float> expand) {
    if (speed) m_speed->setText(QString::number(*speed));
    if (expand) m_zoom->setText(QString::number(static_cast<double>(*expand), 'f', 6));
}

int VwDialog::Speed() const {
    bool ok = false;
    int v = m_speed->text().toInt(&ok);
    return ok && v >= 0 ? v : kDefaultSpeed;
}

float VwDialog::Zoom() const {
    bool ok = false;
    float v = m_zoom->text().toFloat(&ok);
    return ok && v > 0 ? v : 1.0f;
}

void VwDialog::Post(std::future<Notice> command, bool showsGoTo) {
    m_pending.push_back({std::move(command), showsGoTo});
}

void VwDialog::Settle() {
    while (!m_pending.empty()) {
        QApplication::processEvents();
        Refresh();
        if (!m_pending.empty()) QThread::msleep(5);
    }
    Refresh();
}

bool VwDialog::LoadFile(const std::string& path) {
    auto group = LoadMovieGroup(path);
    if (!group.ok()) {
        Warn("vw", group.status().message());
        return false;
    }
    FillList(*group);
    Post(m_wall.Load(std::move(*group)));
    return true;
}

void VwDialog::OnRead() {
    QString name = QFileDialog::getOpenFileName(this, "Read Panel List From File", QString(),
                                                "Movie Group (*.vw);;All Files (*.*)");
    if (name.isEmpty()) return;
    LoadFile(name.toStdString());
}

void VwDialog::FillList(const MovieGroup& group) {
    m_list->clear();
    for (const Panel& p : group.panels) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setText(0, QString::fromStdString(p.hostToken));
        item->setText(1, "OFF");
        item->setText(2, QString::number(p.width));
        item->setText(3, QString::number(p.height));
        for (size_t s = 0; s < p.segments.size() && s < static_cast<size_t>(kShownSegments); ++s) {
            item->setText(4 + 2 * static_cast<int>(s), QString::fromStdString(p.segments[s].files));
            item->setText(5 + 2 * static_cast<int>(s), QString::number(p.segments[s].frameCount));
        }
    }
}

void VwDialog::Refresh() {
    for (size_t i = 0; i < m_pending.size();) {
        if (m_pending[i].result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ++i;
            continue;
        }
        Notice n = m_pending[i].result.get();
        const bool goTo = m_pending[i].showsGoTo;
        m_pending.erase(m_pending.begin() + static_cast<long>(i));
        if (goTo) m_goToField->setText(QString::number(n.value));
        if (!n.text.empty()) Warn(n.title, n.text);
    }
    WallView view = m_wall.Snapshot();
    for (size_t i = 0; i < view.panels.size() && static_cast<int>(i) < m_list->topLevelItemCount();
         ++i)
        m_list->topLevelItem(static_cast<int>(i))
            ->setText(1, PanelStatusText(view.panels[i].status));
    m_currentFrame->setText(QString::number(view.currentFrame));
    if (m_exiting && m_pending.empty()) {
        m_exiting = false;
        accept();
    }
}

void VwDialog::OnExit() {
    if (m_exiting) return;
    m_exiting = true;
    Post(m_wall.Exit());
}

void VwDialog::closeEvent(QCloseEvent* event) {
    if (!m_exiting && m_pending.empty() && m_wall.Snapshot().wallState == 0) {
        event->accept();
        return;
    }
    event->ignore();
    OnExit();
}

}  // namespace voxa::movie
