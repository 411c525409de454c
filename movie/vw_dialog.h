// The dialog "vw": a thin Qt Widgets face over the wall's commands. Every
// button posts one command to the wall (which runs them in order on its
// own thread); a 100 ms timer shows the panels' statuses, the current frame
// (refreshed each second by the wall) and any warning a command returned.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "movie/vw_group.h"
#include "movie/vw_wall.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTimer;

namespace voxa::movie {

inline constexpr const char* kAboutTitle = "About vw";
inline constexpr const char* kAboutText =
    "vw Version 1.0\n\nPlays a movie on every panel of a display wall, in step.";
inline constexpr int kShownSegments = 6;

class VwDialog : public QDialog {
    Q_OBJECT

  public:
    explicit VwDialog(WallCommands& wall, QWidget* parent = nullptr);
    ~VwDialog() override;

    // Puts the command line's values into the fields.
    void SetFields(std::optional<int> speed, std::optional<float> expand);
    // Loads a movie group file as "Read Panel List From File ..." does with
    // a name given; false (after a warning) when it cannot be loaded.
    bool LoadFile(const std::string& path);
    // Warnings go through this (a message box by default).
    void SetWarningSink(
        std::function<void(const std::string& title, const std::string& text)> sink);
    // Applies the wall's state to the list and the fields now (the timer does it every 100 ms).
    void Refresh();
    // Waits (processing events) until every posted command has finished.
    void Settle();

    QPushButton* PlayButton() const { return m_play; }
    QPushButton* StopButton() const { return m_stop; }
    QPushButton* BackButton() const { return m_back; }
    QPushButton* ForwardButton() const { return m_forward; }
    QPushButton* GoToButton() const { return m_goTo; }
    QPushButton* InitializeButton() const { return m_initialize; }
    QPushButton* ReadButton() const { return m_read; }
    QPushButton* ExitButton() const { return m_exit; }
    QLineEdit* GoToField() const { return m_goToField; }
    QLineEdit* CurrentFrameField() const { return m_currentFrame; }
    QLineEdit* SpeedField() const { return m_speed; }
    QLineEdit* ZoomField() const { return m_zoom; }
    QTreeWidget* PanelList() const { return m_list; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Post(std::future<Notice> command, bool showsGoTo = false);
    void OnRead();
    void OnExit();
    int Speed() const;
    float Zoom() const;
    void FillList(const MovieGroup& group);
    void Warn(const std::string& title, const std::string& text);

    struct Pending {
        std::future<Notice> result;
        bool showsGoTo;
    };

    WallCommands& m_wall;
    std::vector<Pending> m_pending;
    std::function<void(const std::string&, const std::string&)> m_warn;
    bool m_exiting = false;
    QPushButton* m_play;
    QPushButton* m_stop;
    QPushButton* m_back;
    QPushButton* m_forward;
    QPushButton* m_goTo;
    QPushButton* m_read;
    QPushButton* m_initialize;
    QPushButton* m_exit;
    QLineEdit* m_goToField;
    QLineEdit* m_currentFrame;
    QLineEdit* m_speed;
    QLineEdit* m_zoom;
    QTreeWidget* m_list;
    QTimer* m_timer;
};

}  // namespace voxa::movie
