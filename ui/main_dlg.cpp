#include "ui/main_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QHideEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QThread>
#include <QTreeView>

#include <atomic>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "monitor/table_compare.h"
#include "platform/last_error.h"
#include "platform/name_lookup.h"
#include "settings/connection_dump.h"
#include "settings/prop.h"
#include "ui/api_error_text.h"
#include "ui/conn_list_model.h"
#include "ui/dialog_units.h"
#include "ui/ipv6_column_widths.h"
#include "ui/kept_selection.h"
#include "ui/line_copy.h"
#include "ui/list_columns.h"
#include "ui/list_filter.h"
#include "ui/list_pause.h"
#include "ui/list_title.h"
#include "ui/new_line_marks.h"
#include "ui/owner_tooltip.h"
#include "ui/program_icon.h"
#include "ui/prop_dlg.h"
#include "ui/shown_lines.h"
#include "ui/window_state.h"

namespace {

// The window that owns the log's message boxes; the log has no window of its own.
std::atomic<CMainDlg*> s_boxOwner{nullptr};

template <typename Table> Table* AllocateTable(std::size_t bytes)
{
    // Zeroed, so an unused buffer reads as an empty table.
    return reinterpret_cast<Table*>(new (std::nothrow) unsigned char[bytes]());
}

template <typename Table> void FreeTable(Table*& table)
{
    delete[] reinterpret_cast<unsigned char*>(table);
    table = nullptr;
}

template <typename Fn> Fn ProcAs(FARPROC address)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

// Answers every box still open, whichever window owns it: the scan thread or
// a nested loop may wait on one, and its answer no longer matters.
void CloseOpenBoxes()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QDialog*>(window);
        if (box != nullptr && box->isVisible() && box->isModal())
            box->done(QDialog::Rejected);
    }
}

} // namespace

// The icons are compiled into this static library; a library's resources
// are registered by hand.
static void InitProgramResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(quillon);
        return true;
    }();
    (void)registered;
}

CMainDlg::CMainDlg(QWidget* parent) : QDialog(parent)
{
    InitProgramResources();
    m_hIcon = LoadProgramIcon();
    setWindowTitle(QStringLiteral("Quillon"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    CreateControls();
    m_placeRestored = RestoreWindowPlace(this, QStringLiteral("MainWindow"));
    s_boxOwner = this;
    SetDumpMessageBoxHook(&CMainDlg::ShowDumpMessageBox);
}

CMainDlg::~CMainDlg()
{
    m_destroying = true;
    if (m_scanThread.IsStarted()) {
        m_stopping = true;
        m_scanThread.RequestStop();
        CloseOpenBoxes();
        // The thread may be waiting for this thread to carry out a refill.
        while (m_scanThread.IsStarted())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    FreeTables();
    delete m_pPropDlg;
    CMainDlg* self = this;
    if (s_boxOwner.compare_exchange_strong(self, nullptr))
        SetDumpMessageBoxHook(nullptr);
}

void CMainDlg::CreateControls()
{
    m_list = new QTreeView(this);
    m_list->setObjectName(QStringLiteral("IDC_CONN_LIST"));
    // No label stands before the list, so a screen reader is told what it holds.
    m_list->setAccessibleName(QStringLiteral("Connections"));
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionsMovable(false);
    m_listModel = new CConnListModel(this);
    m_listModel->SetDialogFont(font());
    auto* marks = new CNewLineMarks(m_listModel, this);
    auto* shown = new CShownLines(m_listModel, marks, this);
    shown->Serve(m_list);
    auto* kept = new CKeptSelection(m_list, m_listModel);
    auto* copy = new CLineCopy(m_list);
    new COwnerTooltip(m_list);
    new CIpv6ColumnWidths(m_list, m_listModel);
    m_listPause = new CListPause(m_listModel, this);
    copy->AddMenuAction((new CListFilter(m_list, shown, kept))->ShowAction());
    copy->AddMenuAction(m_listPause->ToggleAction());
    new CListTitle(this, shown, m_listPause);

    m_propertiesButton = new QPushButton(QStringLiteral("Properties..."), this);
    m_propertiesButton->setObjectName(QStringLiteral("IDC_PROPERTIES"));
    // The template's default button is the hidden, disabled OK: Enter does nothing.
    m_propertiesButton->setAutoDefault(false);
    connect(m_propertiesButton, &QPushButton::clicked, this, [this] { ShowPropDlg(); });

    // The window and its controls keep the template's layout in dialog units,
    // and the columns their widths in the same scale; the unit widens until
    // every column and the button hold their texts.
    CDialogUnits units(font());
    for (std::size_t i = 0; i < std::size(kListColumns); ++i)
        units.WidenPixelsToFit(
            ListColumnTextWidth(*m_list, m_listModel->EndpointFont(), static_cast<int>(i)),
            kListColumns[i].width);
    units.WidenToFit(m_propertiesButton, 50);
    for (std::size_t i = 0; i < std::size(kListColumns); ++i)
        m_columnWidths[i] = units.ScaledPixels(kListColumns[i].width);
    // The template's size is the least; what the window grows by goes to
    // the list, and the button keeps its place under the list's middle.
    m_templateSize = units.Size(320, 200);
    m_listPlace = units.Rect(7, 7, 306, 169);
    m_buttonPlace = units.Rect(136, 179, 50, 14);
    setMinimumSize(m_templateSize);
    resize(m_templateSize);
    PlaceControls();
}

void CMainDlg::PlaceControls()
{
    const QSize growth = size() - m_templateSize;
    m_list->setGeometry(m_listPlace.adjusted(0, 0, growth.width(), growth.height()));
    m_propertiesButton->setGeometry(m_buttonPlace.translated(growth.width() / 2, growth.height()));
}

void CMainDlg::resizeEvent(QResizeEvent* e)
{
    QDialog::resizeEvent(e);
    PlaceControls();
}

void CMainDlg::hideEvent(QHideEvent* e)
{
    QDialog::hideEvent(e);
    // Hidden by the program or the user, not minimised by the window manager.
    if (!e->spontaneous())
        SaveWindowPlace(this, QStringLiteral("MainWindow"));
}

int CMainDlg::DoModal()
{
    // Placed before start-up, so that its reports stand over where it will be.
    if (!m_placeRestored)
        CenterWindow();
    OnInitDialog();
    if (!m_ended) {
        show();
        m_inModalLoop = true;
        QApplication::exec();
        m_inModalLoop = false;
    }
    return IDOK;
}

void CMainDlg::CenterWindow()
{
    QScreen* target = screen();
    if (target == nullptr)
        target = QGuiApplication::primaryScreen();
    if (target == nullptr)
        return;
    QRect area = target->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

bool CMainDlg::OnInitDialog()
{
    SetUpSystemMenu();
    setWindowIcon(m_hIcon);

    if (!oProp.Load())
        oProp.Save();

    // A window of its own, so that the boxes this window owns leave it usable.
    m_pPropDlg = new CPropDlg();
    m_pPropDlg->setWindowIcon(m_hIcon);

    m_hIpHelper = m_ipHelperDirectory.empty()
                      ? LoadLibraryA("iphlpapi.dll")
                      : LoadLibraryFromDirectory(m_ipHelperDirectory.c_str(), "iphlpapi.dll");
    if (m_hIpHelper == nullptr) {
        ReportApiError("LoadLibrary");
        OnOK();
        return false;
    }

    FARPROC tcpTable = GetProcAddress(m_hIpHelper, "GetTcpTable");
    FARPROC udpTable = GetProcAddress(m_hIpHelper, "GetUdpTable");
    g_pGetTcpTable = ProcAs<GetTcpTableFn>(tcpTable);
    g_pGetUdpTable = ProcAs<GetUdpTableFn>(udpTable);
    g_pGetTcp6Table = ProcAs<GetTcp6TableFn>(GetProcAddress(m_hIpHelper, "GetTcp6Table"));
    g_pGetUdp6Table = ProcAs<GetUdp6TableFn>(GetProcAddress(m_hIpHelper, "GetUdp6Table"));
    if (tcpTable == nullptr || udpTable == nullptr) {
        ReportApiError("GetProcAddress");
        OnOK();
        return false;
    }

    WSAStartup(kWinsockVersion, nullptr);

    m_pCurTable = AllocateTable<CONN_TABLE>(kConnTableBytes);
    m_pPrevTable = AllocateTable<CONN_TABLE>(kConnTableBytes);
    m_pCur6Table = AllocateTable<CONN6_TABLE>(kConn6TableBytes);
    m_pPrev6Table = AllocateTable<CONN6_TABLE>(kConn6TableBytes);
    if (m_pCurTable == nullptr || m_pPrevTable == nullptr || m_pCur6Table == nullptr ||
        m_pPrev6Table == nullptr) {
        ReportApiError("new");
        OnOK();
        return false;
    }

    m_list->header()->setSectionsMovable(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);

    for (std::size_t i = 0; i < std::size(kListColumns); ++i) {
        int index = m_listModel->InsertColumn(m_listModel->columnCount(),
                                              QString::fromLatin1(kListColumns[i].heading));
        m_list->header()->resizeSection(index, m_columnWidths[i]);
    }

    if (!AddStatusIcon(NIM_ADD))
        ReportApiError("AddStatusIcon");
    // A signalled close may have come while a box was open.
    if (m_stopping)
        return false;

    if (!GetConnectionTable(m_pCurTable)) {
        ReportApiError("GetConnectionTable");
        return false;
    }
    // The IPv6 rows are left out of a snapshot they fail; the IPv4 monitor goes on.
    GetConnection6Table(m_pCur6Table);
    RefreshList();
    GetConnectionTable(m_pPrevTable);
    GetConnection6Table(m_pPrev6Table);
    DumpToLogFile(m_pCurTable, m_pCur6Table);
    if (m_stopping)
        return false;
    if (!m_scanThread.Start([this] { ScanThreadProc(this); })) {
        ReportApiError("CreateThread");
        return false;
    }
    return true;
}

void CMainDlg::OnOK()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_scanThread.RequestStop();
    CloseOpenBoxes();
    // With a scan thread, the end of that thread finishes the close.
    if (!m_scanThread.IsStarted())
        EndDialog();
}

void CMainDlg::OnScanThreadEnded()
{
    m_scanThread.Join();
    if (m_stopping && !m_ended && !m_destroying)
        EndDialog();
}

void CMainDlg::EndDialog()
{
    FreeTables();
    m_ended = true;
    setResult(QDialog::Accepted);
    // Both windows keep their places for the next run as they hide.
    if (m_pPropDlg != nullptr)
        m_pPropDlg->hide();
    hide();
    // Asking the application to quit would ask every window to close, and
    // this one only hides; exit ends the loop without asking.
    if (m_inModalLoop)
        QCoreApplication::exit(0);
}

void CMainDlg::FreeTables()
{
    FreeTable(m_pCurTable);
    FreeTable(m_pPrevTable);
    FreeTable(m_pCur6Table);
    FreeTable(m_pPrev6Table);
}

void CMainDlg::OnCancel()
{
    hide();
}

void CMainDlg::OnClose()
{
    hide();
}

void CMainDlg::reject()
{
    OnCancel();
}

void CMainDlg::closeEvent(QCloseEvent* e)
{
    e->ignore();
    OnClose();
}

bool CMainDlg::event(QEvent* e)
{
    int type = e->type();
    if (type == WM_TRAYNOTIFY) {
        if (static_cast<CWindowMessageEvent*>(e)->lParam == WM_RBUTTONDOWN)
            ShowTrayMenu();
    } else if (type == WM_LISTCHANGED) {
        update();
    }
    return QDialog::event(e);
}

template <typename Work> void CMainDlg::RunOnUiThread(Work&& work)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(this, std::forward<Work>(work), Qt::BlockingQueuedConnection);
}

void CMainDlg::RefreshList()
{
    std::vector<CONN_LINE> lines = BuildConnLines(m_pCurTable, m_pCur6Table);
    RunOnUiThread([this, &lines] { m_listPause->Hand(lines); });
    // The old lines come back and are released here, off the user-interface thread.
    lines.clear();
    QCoreApplication::postEvent(this, new CWindowMessageEvent(WM_LISTCHANGED, 0, 0));
}

void CMainDlg::DumpToLogFile(const CONN_TABLE* table, const CONN6_TABLE* table6)
{
    ::DumpToLogFile(table, table6);
}

void CMainDlg::ReportApiError(const char* api)
{
    int code = GetLastError();
    char text[kApiErrorTextSize];
    FormatApiErrorText(api, code, text, sizeof text);
    QString message = QString::fromLocal8Bit(text);
    RunOnUiThread([this, &message] {
        ShowMessageBox(message, true);
        hide();
    });
}

void CMainDlg::ShowMessageBox(const QString& text, bool errorIcon)
{
    if (m_stopping)
        return;
    QMessageBox box(errorIcon ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // It holds up this window only: the tray icon and the properties dialog
    // stay usable, so logging can be turned off while the log's box repeats.
    // QMessageBox's own setter makes a window-modal box a sheet, which
    // Wayland compositors show without a frame.
    box.QWidget::setWindowModality(Qt::WindowModal);
    box.exec();
}

void CMainDlg::ShowDumpMessageBox(const char* text)
{
    CMainDlg* owner = s_boxOwner;
    if (owner == nullptr || text == nullptr)
        return;
    QString message = QString::fromLocal8Bit(text);
    owner->RunOnUiThread([owner, &message] { owner->ShowMessageBox(message, false); });
}

void CMainDlg::ScanOnce()
{
    CONN_SNAPSHOT current{m_pCurTable, m_pCur6Table};
    CONN_SNAPSHOT reference{m_pPrevTable, m_pPrev6Table};
    ScanStep(*this, current, reference, oProp.changed);
    m_pCurTable = current.table;
    m_pCur6Table = current.table6;
    m_pPrevTable = reference.table;
    m_pPrev6Table = reference.table6;
}

std::uint32_t CMainDlg::ScanThreadProc(CMainDlg* dialog)
{
    RunScanLoop(
        dialog->m_scanThread, [dialog] { dialog->ScanOnce(); },
        [] {
            std::uint32_t ms = 1000;
            oProp.GetRefreshTime(&ms);
            return ms;
        });
    // The thread's last act: the window joins it and finishes closing.
    QMetaObject::invokeMethod(
        dialog, [dialog] { dialog->OnScanThreadEnded(); }, Qt::QueuedConnection);
    return 0;
}

int CMainDlg::TakeSnapshot(const CONN_SNAPSHOT& snapshot)
{
    if (!GetConnectionTable(snapshot.table))
        return 0;
    GetConnection6Table(snapshot.table6);
    return 1;
}

void CMainDlg::ShowTable(const CONN_SNAPSHOT&)
{
    RefreshList();
}

void CMainDlg::DumpTable(const CONN_SNAPSHOT& snapshot)
{
    DumpToLogFile(snapshot.table, snapshot.table6);
}

void CMainDlg::ReportFailure(const char* api)
{
    ReportApiError(api);
}
