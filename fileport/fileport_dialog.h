// The "Get Remote Files" dialog: a thin Qt layer over FileCopier.
//
// Listing and copying run on one worker thread at a time (with its own KJ
// event loop); the worker posts row changes and progress back to the
// dialog's thread, so the dialog stays responsive and "Stop Copy" stops the
// copy between pieces (the file being copied is removed). Messages go
// through a replaceable function, so tests see them instead of modal boxes.
//
// Thread: the Qt GUI thread, except the worker described above.
#pragma once

#include "fileport/file_copy.h"

#include <QDialog>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

class QButtonGroup;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;

namespace voxa::fileport {

inline constexpr char kDialogTitle[] = "Get Remote Files";
inline constexpr char kDefaultHost[] = "127.0.0.1";
inline constexpr char kDefaultRemoteDirectory[] = "C:\\users\\ops\\test";

class FileportDialog : public QDialog {
    Q_OBJECT

public:
    enum class MessageKind { kError, kWarning, kInformation };
    using MessageFunction = std::function<void(MessageKind, const QString& title, const QString& text)>;

    explicit FileportDialog(QWidget* parent = nullptr);
    ~FileportDialog() override;

    void SetMessageFunction(MessageFunction f) { m_showMessage = std::move(f); }
    // True while a listing or copy runs.
    bool Busy() const { return m_worker.joinable() && !m_workerDone.load(); }

    // The controls, for tests and for the program's own wiring.
    QLineEdit* FilterEdit() const { return m_filter; }
    QListWidget* SiteList() const { return m_sites; }
    QLineEdit* HostEdit() const { return m_host; }
    QLineEdit* RemoteDirectoryEdit() const { return m_remoteDir; }
    QLineEdit* LocalDirectoryEdit() const { return m_localDir; }
    QLineEdit* ListFileEdit() const { return m_listFile; }
    QSpinBox* PruneLevels() const { return m_prune; }
    QTableWidget* FileTable() const { return m_table; }
    QProgressBar* Progress() const { return m_progress; }
    QPushButton* GenerateButton() const { return m_generate; }
    QPushButton* CopyButton() const { return m_copy; }
    QPushButton* StopButton() const { return m_stop; }

    // The actions behind the buttons.
    bool LoadRemoteDirectoryList(const QString& path);
    void ApplyListFileChoice(const QString& chosenPath);
    void GenerateList();
    void ClearList();
    void CopyFiles();
    void StopCopy();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Message(MessageKind kind, const QString& title, const QString& text);
    void SetBusy(bool busy);
    void SetRow(int row, const FileRow& values);
    FileRow RowAt(int row) const;
    DataType SelectedDataType() const;
    void StartWorker(std::function<void()> work);
    void JoinWorker();
    void OnLoadFromFile();
    void OnBrowse();
    void OnEditSite();
    void OnAbout();

    QLineEdit* m_filter = nullptr;
    QListWidget* m_sites = nullptr;
    QLineEdit* m_host = nullptr;
    QLineEdit* m_remoteDir = nullptr;
    QLineEdit* m_localDir = nullptr;
    QLineEdit* m_listFile = nullptr;
    QSpinBox* m_prune = nullptr;
    QRadioButton* m_typeTree = nullptr;
    QRadioButton* m_typePlain = nullptr;
    QTableWidget* m_table = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_generate = nullptr;
    QPushButton* m_clear = nullptr;
    QPushButton* m_copy = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_resume = nullptr;
    QPushButton* m_load = nullptr;

    MessageFunction m_showMessage;
    std::thread m_worker;
    std::atomic<bool> m_workerDone{true};
    std::atomic<bool> m_stopRequested{false};
};

}  // namespace voxa::fileport
