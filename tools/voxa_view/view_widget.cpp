#include "tools/voxa_view/view_widget.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cstring>

namespace voxa::view {

namespace {

constexpr char kSaveName[] = "voxa_view_%1.png";
constexpr char kWaiting[] = "waiting for the first frame ...";

}  // namespace

QImage FrameImage(const Frame& frame) {
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.rgb.size() != static_cast<size_t>(frame.width) * frame.height * 3)
        return QImage();
    QImage image(frame.width, frame.height, QImage::Format_RGB888);
    const size_t row = static_cast<size_t>(frame.width) * 3;
    for (int y = 0; y < frame.height; ++y)
        std::memcpy(image.scanLine(frame.height - 1 - y), frame.rgb.data() + y * row, row);
    return image;
}

// --- FrameView ---------------------------------------------------------------------

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize FrameView::sizeHint() const {
    return m_image.isNull() ? QSize(640, 480) : m_image.size();
}

void FrameView::SetImage(const QImage& image) {
    m_image = image;
    update();
}

void FrameView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (m_image.isNull()) {
        p.setPen(Qt::gray);
        p.drawText(rect(), Qt::AlignCenter, kWaiting);
        return;
    }
    // Centred at its own size (scaled down only when the area is smaller).
    QSize size = m_image.size().scaled(this->size(), Qt::KeepAspectRatio);
    if (size.width() > m_image.width()) size = m_image.size();
    QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    p.drawImage(target, m_image);
}

void FrameView::mousePressEvent(QMouseEvent* event) {
    m_last = event->position().toPoint();
    m_button = event->button() == Qt::LeftButton    ? Button::kLeft
               : event->button() == Qt::RightButton ? Button::kRight
                                                    : Button::kNone;
}

void FrameView::mouseMoveEvent(QMouseEvent* event) {
    if (m_button == Button::kNone) return;
    QPoint at = event->position().toPoint();
    ViewAction a = DragAction(m_button, at.x() - m_last.x(), at.y() - m_last.y());
    m_last = at;
    if (a.orbitDx != 0 || a.orbitDy != 0 || a.zoomDy != 0)
        emit Action(a.orbitDx, a.orbitDy, a.zoomDy);
}

void FrameView::mouseReleaseEvent(QMouseEvent*) { m_button = Button::kNone; }

void FrameView::wheelEvent(QWheelEvent* event) {
    ViewAction a = WheelAction(event->angleDelta().y());
    if (a.zoomDy != 0) emit Action(0, 0, a.zoomDy);
}

// --- ViewWindow --------------------------------------------------------------------

// The frame view, the quality panel with its help text, and the status
// line; returns the "Save PNG" button.
QPushButton* ViewWindow::BuildControls(const ViewSetup& setup) {
    m_view = new FrameView(this);
    m_view->setMinimumSize(setup.width, setup.height);
    m_status = new QLabel(kWaiting, this);
    m_pixelError = new QSpinBox(this);
    m_pixelError->setRange(0, 255);
    m_angleError = new QDoubleSpinBox(this);
    m_angleError->setRange(0.0, 1.0);
    m_angleError->setDecimals(3);
    m_angleError->setSingleStep(0.005);
    m_sizeError = new QDoubleSpinBox(this);
    m_sizeError->setRange(0.0, 256.0);
    m_sizeError->setDecimals(1);
    m_opacity = new QDoubleSpinBox(this);
    m_opacity->setRange(0.0, 1.0);
    m_opacity->setDecimals(2);
    m_opacity->setSingleStep(0.1);
    auto* save = new QPushButton("Save PNG", this);

    auto* panel = new QFormLayout;
    panel->addRow("pixel error", m_pixelError);
    panel->addRow("angle error", m_angleError);
    panel->addRow("size error", m_sizeError);
    panel->addRow("opacity", m_opacity);
    panel->addRow(save);
    auto* help = new QLabel(
        "left drag: turn\nright drag, wheel: zoom\n+/-: opacity\n[ ]: pixel error\n"
        ", .: angle error\n< >: size error\n0: finest  d: defaults\ns: save PNG",
        this);
    help->setStyleSheet("color: gray");
    panel->addRow(help);
    auto* top = new QHBoxLayout;
    top->addWidget(m_view, 1);
    top->addLayout(panel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(m_status);
    SetPanel(Quality{});
    return save;
}

ViewWindow::ViewWindow(const ViewSetup& setup, std::unique_ptr<FrameBackend> backend,
                       QWidget* parent)
    : QWidget(parent) {
    qRegisterMetaType<voxa::view::Frame>();
    setWindowTitle(setup.host.empty() ? QString("voxa_view - direct")
                                      : QString("voxa_view - %1").arg(
                                            QString::fromStdString(setup.host)));
    QPushButton* save = BuildControls(setup);

    connect(m_pixelError, &QSpinBox::valueChanged, this, &ViewWindow::ApplyPanel);
    for (QDoubleSpinBox* box : {m_angleError, m_sizeError, m_opacity})
        connect(box, &QDoubleSpinBox::valueChanged, this, &ViewWindow::ApplyPanel);
    connect(save, &QPushButton::clicked, this,
            [this] { SaveFrame(QString(kSaveName).arg(++m_saved, 4, 10, QChar('0'))); });
    connect(m_view, &FrameView::Action, this, [this](int dx, int dy, int zoom) {
        if (!m_worker) return;
        if (dx != 0 || dy != 0) m_worker->PostOrbit(dx, dy);
        if (zoom != 0) m_worker->PostZoom(zoom);
    });

    // Frames come from the worker thread: queued into this thread.
    m_worker = std::make_unique<FrameWorker>(
        std::move(backend), setup,
        [this](const Frame& frame) {
            QMetaObject::invokeMethod(this, "ShowFrame", Qt::QueuedConnection,
                                      Q_ARG(voxa::view::Frame, frame));
        },
        [this](const std::string& message) {
            QMetaObject::invokeMethod(this, "ShowError", Qt::QueuedConnection,
                                      Q_ARG(QString, QString::fromStdString(message)));
        });
    m_view->setFocus();
}

ViewWindow::~ViewWindow() { m_worker.reset(); }

void ViewWindow::SetPanel(const Quality& q) {
    m_settingPanel = true;
    m_pixelError->setValue(q.pixelError);
    m_angleError->setValue(q.angleError);
    m_sizeError->setValue(q.sizeError);
    m_opacity->setValue(q.opacity);
    m_settingPanel = false;
}

void ViewWindow::ApplyPanel() {
    if (m_settingPanel || !m_worker) return;
    Quality q;
    q.pixelError = m_pixelError->value();
    q.angleError = static_cast<float>(m_angleError->value());
    q.sizeError = static_cast<float>(m_sizeError->value());
    q.opacity = static_cast<float>(m_opacity->value());
    m_worker->PostQuality(q);
}

void ViewWindow::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    if (text.size() != 1 || !m_worker) {
        QWidget::keyPressEvent(event);
        return;
    }
    const char key = text.at(0).toLatin1();
    if (key == 's') {
        SaveFrame(QString(kSaveName).arg(++m_saved, 4, 10, QChar('0')));
        return;
    }
    Quality q = m_worker->CurrentQuality();
    if (!KeyQuality(key, &q)) {
        QWidget::keyPressEvent(event);
        return;
    }
    SetPanel(q);
    m_worker->PostQuality(q);
}

void ViewWindow::ShowFrame(const voxa::view::Frame& frame) {
    QImage image = FrameImage(frame);
    if (!image.isNull()) m_view->SetImage(image);
    if (m_framesShown == 0) SetPanel(frame.quality);  // a keyword text may have set it
    ++m_framesShown;
    m_status->setText(QString::fromStdString(FrameSummary(frame)));
    emit FrameArrived(frame.serial);
}

void ViewWindow::ShowError(const QString& message) {
    m_status->setText("error: " + message);
    emit Failed(message);
}

bool ViewWindow::SaveFrame(const QString& path) {
    if (m_view->Image().isNull()) return false;
    bool ok = m_view->Image().save(path, "PNG");
    m_status->setText(ok ? "saved " + path : "cannot write " + path);
    return ok;
}

QString ViewWindow::StatusText() const { return m_status->text(); }

}  // namespace voxa::view
