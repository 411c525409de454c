#include "queue/saver_config_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>

namespace voxa::queue {

namespace {

// Dialog template, in dialog units.
struct UnitRect {
    int x, y, width, height;
};
constexpr UnitRect kDialogSize{0, 0, 186, 94};
constexpr UnitRect kOkRect{129, 73, 50, 14};
constexpr UnitRect kCancelRect{7, 73, 50, 14};
constexpr UnitRect kTumbleRect{7, 24, 39, 10};

// Pixels of dialog units for the dialog's font.
class DialogUnits {
  public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : m_charWidth(std::max(1, metrics.averageCharWidth())),
          m_charHeight(std::max(1, metrics.height())) {}
    int X(int units) const { return (units * m_charWidth + 2) / 4; }
    int Y(int units) const { return (units * m_charHeight + 4) / 8; }
    QRect Rect(const UnitRect& r) const { return QRect(X(r.x), Y(r.y), X(r.width), Y(r.height)); }

  private:
    int m_charWidth;
    int m_charHeight;
};

}  // namespace

SaverConfigDialog::SaverConfigDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kConfigureTitle));
    m_model.Load();

    m_tumble = new QCheckBox(QString::fromUtf8(kTumbleLabel), this);
    m_ok = new QPushButton(QString::fromUtf8(kOkLabel), this);
    m_cancel = new QPushButton(QString::fromUtf8(kCancelLabel), this);
    m_ok->setDefault(true);
    m_tumble->setChecked(m_model.Tumble());

    DialogUnits units(fontMetrics());
    m_ok->setGeometry(units.Rect(kOkRect));
    m_cancel->setGeometry(units.Rect(kCancelRect));
    // The box keeps its template place; its width grows if the label needs
    // more than the template allows in this font.
    QRect box = units.Rect(kTumbleRect);
    box.setWidth(std::max(box.width(), m_tumble->sizeHint().width()));
    box.setHeight(std::max(box.height(), m_tumble->sizeHint().height()));
    m_tumble->setGeometry(box);
    // Buttons too small for their label in this font grow likewise.
    for (QPushButton* button : {m_ok, m_cancel}) {
        QRect r = button->geometry();
        r.setHeight(std::max(r.height(), button->sizeHint().height()));
        button->setGeometry(r);
    }
    setFixedSize(units.X(kDialogSize.width),
                 std::max(units.Y(kDialogSize.height), m_ok->geometry().bottom() + units.Y(7)));

    connect(m_tumble, &QCheckBox::toggled, this,
            [this](bool checked) { m_model.SetTumble(checked); });
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { done(m_model.Cancel()); });
}

void SaverConfigDialog::OnOk() {
    Status failure;
    int result = m_model.Ok(&failure);
    if (result != 1) {
        QMessageBox::warning(
            this, QString::fromUtf8(kConfigureTitle),
            QString::fromStdString("The setting was not saved: " + failure.message()));
        return;
    }
    done(result);
}

int RunConfigureDialog(int argc, char** argv) {
    QApplication app(argc, argv);
    SaverConfigDialog dialog;
    return dialog.exec() == 1 ? 1 : 0;
}

}  // namespace voxa::queue
