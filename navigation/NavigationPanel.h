#pragma once

#include "Records.h"
#include "SearchIndex.h"

#include <QHash>
#include <QList>
#include <QWidget>

#include <functional>

class CompactActionButton;
class ItemTreeWidget;
class QCheckBox;
class QFrame;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QNetworkAccessManager;
class QPushButton;
class QStackedWidget;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

// The left sidebar: page buttons over a stack of five pages (common, recent and search lists, the
// account page, the settings page) and the item tree below. It never touches storage: the main
// window hands it lists and reacts to its signals. Collapsed, it is a narrow column of icons; a
// page button opens it temporarily until the user presses the mouse or moves the focus elsewhere.
class NavigationPanel : public QWidget {
    Q_OBJECT

public:
    enum Page { Common = 0, Recent = 1, Search = 2, Account = 3, Settings = 4 };

    // Children of one tree level in display order (sortid, then iid). For pid 0 the top level:
    // the items of pid 0 followed by every item whose parent does not exist, ordered by pid,
    // sortid, iid, exactly where a full rebuild from allItems() places them.
    using ChildrenProvider = std::function<QList<DataItem>(qint64 pid)>;
    // One item by iid; a record with iid 0 when there is none.
    using ItemProvider = std::function<DataItem(qint64 iid)>;

    explicit NavigationPanel(QWidget *parent = nullptr);
    ~NavigationPanel() override;

    void setQuickAccess(const QList<DataItem> &common, const QList<DataItem> &recent,
        const QList<DataItem> &searchResults, bool showSearchPage);
    void setSelectedQuickAccess(qint64 iid, bool fromSearchResults);
    // Items found by their other text (notes, remark, links, file names), listed on the search
    // page below the name matches under a heading, the snippet as tool tip. Kept until replaced
    // and shown again by every setQuickAccess; activating one is a search row like the others.
    void setContentSearchHits(const QList<SearchHit> &hits);
    // Rebuilds the whole tree from a flat list ordered by pid, sortid, iid; ends any lazy source.
    void setTreeItems(const QList<DataItem> &items);
    void setSelectedTree(qint64 iid);
    // The item tree (its context menu, keys and drops are the window's business).
    QTreeWidget *treeWidget() const;
    // The iid of the tree's current row, 0 when none.
    qint64 currentTreeItem() const;
    // Whether dragging item iid below newParent (0 = top level) would be accepted; without a
    // check every drop is refused.
    void setTreeMoveCheck(std::function<bool(qint64 iid, qint64 newParent)> check);
    bool isCollapsed() const { return collapsed; }
    void setCollapsed(bool collapsed);

    // Lazy tree: shows the top level at once and reads a branch's children when it is first opened
    // (one level ahead, so every visible row shows its expand arrow exactly when it has children).
    // setSelectedTree then opens the path to a deeper item through the item provider.
    void setTreeSource(ChildrenProvider children, ItemProvider item);
    // Re-reads the children of one loaded branch (0 = the top level) and updates only what
    // changed: call it for the parent after an add, a removal or a reorder, for the old and new
    // parent after a move, and for 0 as well when a removed item had children (they become
    // top-level rows). Does nothing for a branch that was never loaded, and in full-rebuild mode.
    void reloadTreeChildren(qint64 pid);
    // Updates the name and tool tip of an item's row, if the row exists (a rename in place).
    void updateTreeItem(const DataItem &item);

    // Hooks for the online code: the account forms and the feedback form only collect input.
    QNetworkAccessManager *networkManager() const { return network; }
    QWidget *loginFormPage() const { return loginPage; }
    QWidget *registrationFormPage() const { return registrationPage; }
    void setAccountMessage(QWidget *formPage, const QString &text);
    void setAccountSubmitEnabled(QWidget *formPage, bool enabled);
    QString feedbackText() const;
    void clearFeedbackText();
    // Shows a status under the feedback text: green for an accepted message, grey otherwise.
    void setFeedbackStatus(const QString &text, bool accepted);
    void setFeedbackSendEnabled(bool enabled);
    // The sync section of the settings page: it only collects input (syncSettingsEdited,
    // syncNowRequested); the window's sync code fills it and reports through setSyncStatus.
    void setSyncSettings(const QString &url, const QString &user, const QString &password,
        const QString &passphrase);
    // The last result and its time, or the sync in progress.
    void setSyncStatus(const QString &text);
    void setSyncNowEnabled(bool enabled);

    // Emits authCompleted on behalf of the login, registration and feedback requests.
    void reportAuthCompleted(bool success, const QString &message);

    // What a press of the page's button does: expand if needed, show the page, then focus the
    // search box (Search) or announce loginRequested (Account).
    void openPage(Page page);

public slots:
    void toggleCollapsed();
    void setTreeVisible(bool visible);

signals:
    void quickAccessActivated(qint64 iid, bool fromSearchResults);
    void treeItemActivated(qint64 iid);
    // The context menu was asked for on the tree row of iid, at globalPos.
    void treeMenuRequested(qint64 iid, const QPoint &globalPos);
    // A tree row was dropped: move iid below newParent (0 = top level); already checked.
    void treeMoveRequested(qint64 iid, qint64 newParent);
    void searchSubmitted(const QString &text);
    void collapsedChanged(bool collapsed);
    void commandBarRightChanged(bool right);
    void loginRequested();
    void authCompleted(bool success, const QString &message);
    // The submit button of a login (registration false) or registration form page was clicked; the
    // editors hang on formPage as the properties "usernameEditor", "passwordEditor",
    // "displayEditor", "submitButton" and "messageLabel".
    void accountSubmitRequested(QWidget *formPage, bool registration);
    // "发送意见" was clicked.
    void feedbackSendRequested();
    // A field of the sync section was edited (on leaving it or pressing Enter).
    void syncSettingsEdited(const QString &url, const QString &user, const QString &password,
        const QString &passphrase);
    // "立即同步" was clicked (after syncSettingsEdited with the fields as they are).
    void syncNowRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setPage(Page page);
    void showPageExpanding(Page page);

    void updatePageAndTreeLayout();
    void fillPageList(QListWidget *list, const QList<DataItem> &items, int source);
    void appendContentHits();
    void connectQuickAccessList(QListWidget *list, int source);
    void collapseIfTemporary();

    QWidget *buildAccountPage();
    QWidget *buildFormPage(const QString &title, bool registration);
    QWidget *buildSettingsPage();
    void buildSyncSection(QWidget *page, QVBoxLayout *layout);
    void emitSyncSettings();

    QTreeWidgetItem *makeTreeRow(const DataItem &item);
    void forgetTreeRow(QTreeWidgetItem *row);
    void syncChildren(QTreeWidgetItem *parent, const QList<DataItem> &children);
    void populate(QTreeWidgetItem *row);
    void populateChildrenOf(QTreeWidgetItem *row);
    void revealLazyItem(qint64 iid);

    QListWidget *commonList = nullptr;
    QListWidget *recentList = nullptr;
    QListWidget *searchResultList = nullptr;
    QLineEdit *searchEdit = nullptr;
    QStackedWidget *pageStack = nullptr;
    ItemTreeWidget *tree = nullptr;
    CompactActionButton *commonButton = nullptr;
    CompactActionButton *recentButton = nullptr;
    CompactActionButton *accountButton = nullptr;
    CompactActionButton *searchButton = nullptr;
    CompactActionButton *settingsButton = nullptr;
    QHBoxLayout *buttonRowLayout = nullptr;
    QWidget *buttonRow = nullptr;
    QVBoxLayout *mainLayout = nullptr;
    QFrame *rightBorder = nullptr;
    QNetworkAccessManager *network = nullptr;
    QHash<qint64, QTreeWidgetItem *> treeItemsByIid;
    QList<SearchHit> contentHits;
    bool collapsed = false;
    bool treeVisible = true;
    bool temporaryExpanded = false;
    bool settingPage = false;

    QWidget *loginPage = nullptr;
    QWidget *registrationPage = nullptr;
    QCheckBox *treeOption = nullptr;
    QCheckBox *commandBarOption = nullptr;
    QTextEdit *feedbackEdit = nullptr;
    QLabel *feedbackStatus = nullptr;
    QPushButton *feedbackSendButton = nullptr;
    QLineEdit *syncUrlEdit = nullptr;
    QLineEdit *syncUserEdit = nullptr;
    QLineEdit *syncPasswordEdit = nullptr;
    QLineEdit *syncPassphraseEdit = nullptr;
    QLabel *syncStatus = nullptr;
    QPushButton *syncNowButton = nullptr;

    QMetaObject::Connection focusConnection;
    ChildrenProvider childrenProvider;
    ItemProvider itemProvider;
};
