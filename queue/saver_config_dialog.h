// The screen saver's configure dialog "Configure VOXA Queue Screen Saver":
// a "Tumble" check box, a default "OK" button and a "Cancel" button, laid
// out in dialog units (186 x 94, a quarter of the average character width
// across, an eighth of the character height down).
//
// A thin widget over SaverConfigModel: opening loads the setting into the
// check box, clicking the box follows it into the model, "OK" writes the
// setting and accepts (result 1), "Cancel" writes nothing and rejects
// (result 0). A write failure is shown in a message box and leaves the
// dialog open. GUI thread only.
#pragma once

#include "queue/saver_settings.h"

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace voxa::queue {

inline constexpr char kConfigureTitle[] = "Configure VOXA Queue Screen Saver";
inline constexpr char kTumbleLabel[] = "Tumble";
inline constexpr char kOkLabel[] = "OK";
inline constexpr char kCancelLabel[] = "Cancel";

class SaverConfigDialog : public QDialog {
  public:
    explicit SaverConfigDialog(QWidget* parent = nullptr);

    QCheckBox* TumbleBox() const { return m_tumble; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }
    const SaverConfigModel& Model() const { return m_model; }

  private:
    void OnOk();

    SaverConfigModel m_model;
    QCheckBox* m_tumble = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
};

// Runs the dialog as the program "voxa_saver -configure" does; returns the
// dialog's result (1 after OK, 0 after Cancel or closing it).
int RunConfigureDialog(int argc, char** argv);

}  // namespace voxa::queue
