// The file manager's window on the Linux desktop, as on Windows: the
// workspace's files in a list (name, size, last change), buttons for the
// actions, file choosers for Add and Extract, and files dropped on the
// window are added. The actions run on a worker thread, so that the window
// stays responsive while the program has a file open; the window takes no
// new action until the running one is done, and cannot be closed meanwhile
// (the action may be writing the archive).
//
// Names come from the archive, which may have been made by anyone: they are
// shown with control characters escaped, never interpreted, and every text
// reaches the toolkit as plain text, never as markup.
#include "tools/bkfm/gtkwindow.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/format.h"
#include "platform/utf8.h"
#include "tools/bkfm/addpaths.h"
#include "tools/bkfm/gtklibrary.h"
#include "tools/bkfm/workspacefile.h"
#include "tools/tar/siblingio.h"

namespace bkfm {

namespace {

using gtk::gboolean;

enum Column { kNameColumn, kSizeColumn, kDateColumn, kColumnCount };

const char kBoxTitle[] = "bkfm";
const char kUriList[] = "text/uri-list";

struct ActionResult {
    int failed = 0;
    std::wstring message;
};

struct State {
    const gtk::Library* g = nullptr;
    std::wstring archive;
    gtk::Widget* window = nullptr;
    gtk::Widget* list = nullptr;
    gtk::ListStore* rows = nullptr;
    gtk::Widget* status = nullptr;
    std::vector<gtk::Widget*> buttons;
    std::vector<Entry> entries;
    bool busy = false;
};

State state;

const gtk::Library& g() { return *state.g; }

// Text as the window shows it, in UTF-8, with control characters escaped;
// line breaks kept where the text is a message of several lines.
std::string shown(const std::wstring& text, bool keepLineBreaks) {
    if (!keepLineBreaks) return utf8::fromWide(tar::escapedText(text));
    std::string lines;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(L'\n', start);
        lines += utf8::fromWide(tar::escapedText(text.substr(start, end - start)));
        if (end == std::wstring::npos) return lines;
        lines += "\n";
        start = end + 1;
    }
}

void setStatus(const std::wstring& text) {
    g().labelSetText(state.status, shown(text, true).c_str());
}

// The archive's file name, as the window's title.
std::string archiveTitle() {
    const std::size_t cut = state.archive.find_last_of(L'/');
    return shown(cut == std::wstring::npos ? state.archive : state.archive.substr(cut + 1), false);
}

int selectedIndex() {
    gtk::ListStore* model = nullptr;
    gtk::TreeIter iter{};
    if (!g().treeSelectionGetSelected(g().treeViewGetSelection(state.list), &model, &iter)) return -1;
    gtk::TreePath* path = g().treeModelGetPath(model, &iter);
    const int* indices = path ? g().treePathGetIndices(path) : nullptr;
    const int index = indices ? indices[0] : -1;
    if (path) g().treePathFree(path);
    return index < static_cast<int>(state.entries.size()) ? index : -1;
}

void selectRow(int index) {
    gtk::TreePath* path = g().treePathNewFromString(std::to_string(index).c_str());
    g().treeViewSetCursor(state.list, path, nullptr, gtk::kFalse);
    g().treePathFree(path);
}

// Fills the list from the archive; keeps the selection on the same name.
void refresh() {
    const int current = selectedIndex();
    const std::string selected = current >= 0 ? state.entries[current].member.name : std::string();

    std::wstring message;
    std::vector<Entry> entries;
    if (listMembers(state.archive, &entries, &message) != 0) {
        setStatus(message);
        return;
    }
    if (!message.empty()) setStatus(message);   // entries that cannot be used, named
    state.entries = entries;
    g().listStoreClear(state.rows);
    int select = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const tar::Member& m = entries[i].member;
        const bool folder = m.kind == tar::Kind::Folder;
        const std::string name = utf8::fromWide(shownName(m.name)) + (folder ? "/" : "");
        const std::string size = folder ? std::string() : utf8::fromWide(sizeText(entries[i]));
        const std::string date = utf8::fromWide(memberDate(m.modified));
        g().listStoreInsertWithValues(state.rows, nullptr, -1, kNameColumn, name.c_str(), kSizeColumn,
                                      size.c_str(), kDateColumn, date.c_str(), -1);
        if (m.name == selected) select = static_cast<int>(i);
    }
    if (!entries.empty()) selectRow(select);
}

void setBusy(bool busy) {
    static const gtk::TargetEntry uris = {kUriList, 0, 0};
    state.busy = busy;
    for (gtk::Widget* button : state.buttons) g().widgetSetSensitive(button, !busy);
    g().widgetSetSensitive(state.list, !busy);
    // Nothing can be dropped while an action runs.
    if (busy) g().dragDestUnset(state.window);
    else g().dragDestSet(state.window, gtk::kDestDefaultAll, &uris, 1, gtk::kActionCopy);
}

// A box over the window, like the program's own: the text as it is, the
// window's name as title. Returns the button pressed.
int showBox(int type, const std::wstring& text, bool question) {
    gtk::Widget* box = g().messageDialogNew(state.window, gtk::kDialogModal | gtk::kDialogDestroyWithParent, type,
                                            question ? gtk::kButtonsNone : gtk::kButtonsOk, "%s",
                                            shown(text, true).c_str());
    g().windowSetTitle(box, kBoxTitle);
    if (question) {
        g().dialogAddButton(box, "_No", gtk::kResponseNo);
        g().dialogAddButton(box, "_Yes", gtk::kResponseYes);
        g().dialogSetDefaultResponse(box, gtk::kResponseNo);
    }
    const int answer = g().dialogRun(box);
    g().widgetDestroy(box);
    return answer;
}

gboolean actionDone(void* data) {
    std::unique_ptr<ActionResult> result(static_cast<ActionResult*>(data));
    refresh();
    setStatus(result->message);
    setBusy(false);
    if (result->failed) showBox(gtk::kMessageWarning, result->message, false);
    return gtk::kFalse;   // once
}

// Runs one action on the worker thread and reports back to the window.
void startAction(const std::wstring& what, std::function<int(std::wstring*)> action) {
    if (state.busy) {   // files dropped while a box was open have started one meanwhile
        setStatus(L"Another action is running; try again when it is done.");
        return;
    }
    setBusy(true);
    setStatus(what);
    const gtk::Library* library = state.g;
    std::thread([library, action]() {
        auto* result = new ActionResult;
        // What a file manager stopped during an open left is finished first.
        std::wstring recovered;
        recoverWorkingFolders(&recovered);
        result->failed = action(&result->message);
        if (!recovered.empty()) {
            result->message = recovered + L"\n" + result->message;
            result->failed = 1;
        }
        library->idleAdd(actionDone, result);
    }).detach();
}

bool selectedMember(std::string* name) {
    const int index = selectedIndex();
    if (index < 0) {
        showBox(gtk::kMessageInfo, L"Choose a file of the workspace first.", false);
        return false;
    }
    *name = state.entries[index].member.name;
    return true;
}

std::wstring quotedName(const std::string& name) { return L"'" + shownName(name) + L"'"; }

void openSelected() {
    std::string name;
    if (!selectedMember(&name)) return;
    startAction(L"Opening " + quotedName(name) + L"...", [name](std::wstring* message) {
        return openMember(state.archive, name, message);
    });
}

void addFiles(const std::vector<std::wstring>& paths) {
    if (paths.empty()) return;
    startAction(L"Adding...",
                [paths](std::wstring* message) { return addPaths(state.archive, paths, message); });
}

// The paths of a file chooser's choice; empty when it was cancelled.
std::vector<std::wstring> choose(const std::string& title, int action, const char* accept, bool several) {
    gtk::Widget* chooser = g().fileChooserDialogNew(title.c_str(), state.window, action, "_Cancel",
                                                    gtk::kResponseCancel, accept, gtk::kResponseAccept,
                                                    static_cast<const char*>(nullptr));
    g().fileChooserSetSelectMultiple(chooser, several ? gtk::kTrue : gtk::kFalse);
    g().dialogSetDefaultResponse(chooser, gtk::kResponseAccept);
    std::vector<std::wstring> paths;
    if (g().dialogRun(chooser) == gtk::kResponseAccept) {
        gtk::SList* files = g().fileChooserGetFilenames(chooser);
        for (gtk::SList* file = files; file; file = file->next) {
            paths.push_back(utf8::pathToWide(static_cast<const char*>(file->data)));
            g().free(file->data);
        }
        g().slistFree(files);
    }
    g().widgetDestroy(chooser);
    return paths;
}

void chooseAndAdd() {
    addFiles(choose("Add files to the workspace (they are encrypted, the originals erased)",
                    gtk::kFileChooserOpen, "_Add", true));
}

void chooseAndExtract() {
    std::string name;
    if (!selectedMember(&name)) return;
    const std::vector<std::wstring> folders =
        choose(shown(L"Extract " + quotedName(name) + L" into which folder? It is decrypted there.", false),
               gtk::kFileChooserSelectFolder, "_Extract", false);
    if (folders.empty()) return;
    const std::wstring target = folders[0];
    startAction(L"Extracting " + quotedName(name) + L"...", [name, target](std::wstring* message) {
        return extractMember(state.archive, name, target, message);
    });
}

void removeSelected() {
    std::string name;
    if (!selectedMember(&name)) return;
    if (showBox(gtk::kMessageQuestion, L"Remove " + quotedName(name) + L" from the workspace?", true) !=
        gtk::kResponseYes)
        return;
    startAction(L"Removing " + quotedName(name) + L"...", [name](std::wstring* message) {
        return removeMember(state.archive, name, message);
    });
}

// ---- the toolkit's signals

void clicked(gtk::Widget*, void* action) {
    if (state.busy) return;
    reinterpret_cast<void (*)()>(action)();
}

void rowActivated(gtk::Widget*, gtk::TreePath*, gtk::TreeViewColumn*, void*) {
    if (!state.busy) openSelected();
}

void dropped(gtk::Widget*, gtk::DragContext*, int, int, gtk::SelectionData* data, unsigned, unsigned, void*) {
    if (state.busy) return;
    char** uris = g().selectionDataGetUris(data);
    if (!uris) return;
    std::vector<std::wstring> paths;
    bool elsewhere = false;
    for (char** uri = uris; *uri; ++uri) {
        // Only files of this computer: a file:// name, turned into the bytes of its path.
        char* file = g().filenameFromUri(*uri, nullptr, nullptr);
        if (file) paths.push_back(utf8::pathToWide(file));
        else elsewhere = true;
        g().free(file);
    }
    g().strfreev(uris);
    if (elsewhere && paths.empty())
        setStatus(L"Only files on this computer can be added; download the dropped files first.");
    addFiles(paths);
}

gboolean closing(gtk::Widget*, void*, void*) {
    if (!state.busy) return gtk::kFalse;
    setStatus(L"Wait until the running action is done, then close the window.");
    return gtk::kTrue;   // the window stays
}

void closeWindow() { g().widgetDestroy(state.window); }

void destroyed(gtk::Widget*, void*) { g().mainQuit(); }

void addColumn(const char* title, int column, bool numeric) {
    gtk::CellRenderer* text = g().cellRendererTextNew();
    if (numeric) g().objectSet(text, "xalign", 1.0, static_cast<const char*>(nullptr));
    gtk::TreeViewColumn* view =
        g().treeViewColumnNewWithAttributes(title, text, "text", column, static_cast<const char*>(nullptr));
    g().treeViewColumnSetResizable(view, gtk::kTrue);
    g().treeViewColumnSetExpand(view, column == kNameColumn ? gtk::kTrue : gtk::kFalse);
    if (numeric) g().treeViewColumnSetAlignment(view, 1.0f);
    g().treeViewAppendColumn(state.list, view);
}

void createWindow() {
    state.window = g().windowNew(gtk::kWindowToplevel);
    g().windowSetTitle(state.window, archiveTitle().c_str());
    g().windowSetDefaultSize(state.window, 720, 420);
    g().containerSetBorderWidth(state.window, 8);
    connect(g(), state.window, "delete-event", closing);
    connect(g(), state.window, "destroy", destroyed);
    connect(g(), state.window, "drag-data-received", dropped);

    gtk::Widget* rows = g().boxNew(gtk::kOrientationVertical, 8);
    gtk::Widget* top = g().boxNew(gtk::kOrientationHorizontal, 8);
    g().containerAdd(state.window, rows);
    g().boxPackStart(rows, top, gtk::kTrue, gtk::kTrue, 0);

    gtk::GType types[kColumnCount] = {gtk::kTypeString, gtk::kTypeString, gtk::kTypeString};
    state.rows = g().listStoreNewv(kColumnCount, types);
    state.list = g().treeViewNewWithModel(state.rows);
    g().objectUnref(state.rows);   // the view holds it
    addColumn("Name", kNameColumn, false);
    addColumn("Size", kSizeColumn, true);
    addColumn("Modified", kDateColumn, false);
    connect(g(), state.list, "row-activated", rowActivated);
    gtk::Widget* scrolled = g().scrolledWindowNew(nullptr, nullptr);
    g().scrolledWindowSetPolicy(scrolled, gtk::kPolicyAutomatic, gtk::kPolicyAutomatic);
    g().scrolledWindowSetShadowType(scrolled, gtk::kShadowIn);
    g().containerAdd(scrolled, state.list);
    g().boxPackStart(top, scrolled, gtk::kTrue, gtk::kTrue, 0);

    gtk::Widget* column = g().boxNew(gtk::kOrientationVertical, 6);
    g().boxPackStart(top, column, gtk::kFalse, gtk::kFalse, 0);
    const struct {
        const char* label;
        void (*action)();
    } buttons[] = {{"_Open", openSelected},       {"_Add\u2026", chooseAndAdd}, {"E_xtract\u2026", chooseAndExtract},
                   {"_Remove", removeSelected}, {"_Close", closeWindow}};
    for (const auto& b : buttons) {
        gtk::Widget* button = g().buttonNewWithMnemonic(b.label);
        connect(g(), button, "clicked", clicked, reinterpret_cast<void*>(b.action));
        g().boxPackStart(column, button, gtk::kFalse, gtk::kFalse, 0);
        state.buttons.push_back(button);
    }

    state.status = g().labelNew("");
    g().labelSetXalign(state.status, 0.0f);
    g().labelSetLineWrap(state.status, gtk::kTrue);
    g().labelSetSelectable(state.status, gtk::kTrue);   // a path in a message can be copied
    g().boxPackStart(rows, state.status, gtk::kFalse, gtk::kFalse, 0);
    setStatus(L"Files dropped on this window are encrypted and added.");
}

}  // namespace

bool runWindow(const std::wstring& archive, int* exitCode) {
    std::string why;
    state.g = gtk::load(&why);
    if (!state.g) {
        sibling::writeErr(formatWide(L"bkfm: no window: %ls; the workspace is shown on the terminal\n",
                                     utf8::toWide(why).c_str()));
        return false;
    }
    static char name[] = "bkfm";
    static char* arguments[] = {name, nullptr};
    int count = 1;
    char** values = arguments;
    if (!g().initCheck(&count, &values)) {
        sibling::writeErr(L"bkfm: no window: GTK 3 cannot open the display; the workspace is shown on the "
                          L"terminal\n");
        return false;
    }
    // The names of the files chosen for a workspace are nobody else's
    // business: the file choosers add nothing to the desktop's list of
    // recent files.
    g().objectSet(g().settingsGetDefault(), "gtk-recent-files-enabled", gtk::kFalse,
                  static_cast<const char*>(nullptr));

    state.archive = archive;
    createWindow();
    setBusy(false);
    refresh();
    g().widgetShowAll(state.window);
    g().widgetGrabFocus(state.list);
    g().main();
    *exitCode = 0;
    return true;
}

}  // namespace bkfm
