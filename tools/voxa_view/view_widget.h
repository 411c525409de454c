// The window of voxa_view: the frame, a status line (frame time, level of
// detail, aborted frames) and a small panel of the quality settings. A thin
// layer over FrameWorker: input becomes Post* calls, frames arrive from the
// worker thread through a queued signal. UI thread only.
#pragma once

#include "tools/voxa_view/view_model.h"

#include <QImage>
#include <QWidget>

#include <memory>

class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace voxa::view {

// The frame area: draws the last frame and turns mouse input into actions.
class FrameView : public QWidget {
    Q_OBJECT
public:
    explicit FrameView(QWidget* parent = nullptr);
    void SetImage(const QImage& image);
    const QImage& Image() const { return m_image; }

signals:
    void Action(int orbitDx, int orbitDy, int zoomDy);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    QSize sizeHint() const override;

private:
    QImage m_image;
    QPoint m_last;
    Button m_button = Button::kNone;
};

class ViewWindow : public QWidget {
    Q_OBJECT
public:
    ViewWindow(const ViewSetup& setup, std::unique_ptr<FrameBackend> backend,
               QWidget* parent = nullptr);
    ~ViewWindow() override;

    // Writes the frame on show as PNG. False when there is none or the
    // file cannot be written.
    bool SaveFrame(const QString& path);
    const QImage& Image() const { return m_view->Image(); }
    int FramesShown() const { return m_framesShown; }
    QString StatusText() const;
    FrameView* View() { return m_view; }

signals:
    void FrameArrived(int serial);
    void Failed(const QString& message);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void ShowFrame(const voxa::view::Frame& frame);
    void ShowError(const QString& message);
    void ApplyPanel();

private:
    QPushButton* BuildControls(const ViewSetup& setup);
    void SetPanel(const Quality& q);

    FrameView* m_view;
    QLabel* m_status;
    QSpinBox* m_pixelError;
    QDoubleSpinBox* m_angleError;
    QDoubleSpinBox* m_sizeError;
    QDoubleSpinBox* m_opacity;
    bool m_settingPanel = false;
    int m_framesShown = 0;
    int m_saved = 0;
    std::unique_ptr<FrameWorker> m_worker;
};

// Frame rows run from the bottom up; a QImage's from the top down.
QImage FrameImage(const Frame& frame);

}  // namespace voxa::view

Q_DECLARE_METATYPE(voxa::view::Frame)
