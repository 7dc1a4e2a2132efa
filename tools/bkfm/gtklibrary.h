// The desktop's toolkit, GTK 3, loaded at run time: the file manager still
// starts where it is missing (and then works on the terminal). Only the few
// types, constants and functions the workspace window uses are declared
// here, as the toolkit's C interface defines them.
#pragma once

#include <string>

namespace bkfm {
namespace gtk {

// Objects are known only by pointer.
struct Widget;         // every widget: window, box, button, label, tree view, dialog
struct ListStore;      // the list's rows; also its tree model
struct TreeSelection;
struct TreePath;
struct TreeViewColumn;
struct CellRenderer;
struct DragContext;
struct SelectionData;
struct Settings;

using gboolean = int;
using GType = unsigned long;
using GCallback = void (*)();
using GSourceFunc = gboolean (*)(void*);

struct TreeIter {
    int stamp;
    void* userData;
    void* userData2;
    void* userData3;
};

struct TargetEntry {
    const char* target;
    unsigned flags;
    unsigned info;
};

struct SList {
    void* data;
    SList* next;
};

constexpr gboolean kTrue = 1;
constexpr gboolean kFalse = 0;
constexpr GType kTypeInt = 6 << 2;      // the toolkit's fundamental types
constexpr GType kTypeString = 16 << 2;
constexpr int kWindowToplevel = 0;
constexpr int kOrientationHorizontal = 0;
constexpr int kOrientationVertical = 1;
constexpr int kPolicyAutomatic = 1;
constexpr int kShadowIn = 1;
constexpr int kDestDefaultAll = 0x07;   // motion, highlight and drop handled by the toolkit
constexpr int kActionCopy = 1 << 1;
constexpr int kFileChooserOpen = 0;
constexpr int kFileChooserSelectFolder = 2;
constexpr int kResponseAccept = -3;
constexpr int kResponseCancel = -6;
constexpr int kResponseYes = -8;
constexpr int kResponseNo = -9;
constexpr int kDialogModal = 1;
constexpr int kDialogDestroyWithParent = 2;
constexpr int kMessageInfo = 0;
constexpr int kMessageWarning = 1;
constexpr int kMessageQuestion = 2;
constexpr int kButtonsOk = 1;
constexpr int kButtonsNone = 0;

struct Library {
    gboolean (*initCheck)(int*, char***);
    void (*main)();
    void (*mainQuit)();

    Widget* (*windowNew)(int);
    void (*windowSetTitle)(Widget*, const char*);
    void (*windowSetDefaultSize)(Widget*, int, int);
    void (*containerAdd)(Widget*, Widget*);
    void (*containerSetBorderWidth)(Widget*, unsigned);
    Widget* (*boxNew)(int, int);
    void (*boxPackStart)(Widget*, Widget*, gboolean, gboolean, unsigned);
    Widget* (*buttonNewWithMnemonic)(const char*);
    Widget* (*scrolledWindowNew)(void*, void*);
    void (*scrolledWindowSetPolicy)(Widget*, int, int);
    void (*scrolledWindowSetShadowType)(Widget*, int);
    Widget* (*labelNew)(const char*);
    void (*labelSetText)(Widget*, const char*);
    void (*labelSetXalign)(Widget*, float);
    void (*labelSetLineWrap)(Widget*, gboolean);
    void (*labelSetSelectable)(Widget*, gboolean);
    void (*widgetSetSensitive)(Widget*, gboolean);
    void (*widgetShowAll)(Widget*);
    void (*widgetDestroy)(Widget*);
    void (*widgetGrabFocus)(Widget*);

    ListStore* (*listStoreNewv)(int, GType*);
    void (*listStoreClear)(ListStore*);
    void (*listStoreInsertWithValues)(ListStore*, TreeIter*, int, ...);
    Widget* (*treeViewNewWithModel)(ListStore*);
    int (*treeViewAppendColumn)(Widget*, TreeViewColumn*);
    TreeSelection* (*treeViewGetSelection)(Widget*);
    void (*treeViewSetCursor)(Widget*, TreePath*, TreeViewColumn*, gboolean);
    TreeViewColumn* (*treeViewColumnNewWithAttributes)(const char*, CellRenderer*, ...);
    void (*treeViewColumnSetResizable)(TreeViewColumn*, gboolean);
    void (*treeViewColumnSetExpand)(TreeViewColumn*, gboolean);
    void (*treeViewColumnSetAlignment)(TreeViewColumn*, float);
    CellRenderer* (*cellRendererTextNew)();
    gboolean (*treeSelectionGetSelected)(TreeSelection*, ListStore**, TreeIter*);
    TreePath* (*treeModelGetPath)(ListStore*, TreeIter*);
    int* (*treePathGetIndices)(TreePath*);
    TreePath* (*treePathNewFromString)(const char*);
    void (*treePathFree)(TreePath*);

    void (*dragDestSet)(Widget*, int, const TargetEntry*, int, int);
    void (*dragDestUnset)(Widget*);
    char** (*selectionDataGetUris)(SelectionData*);

    Widget* (*fileChooserDialogNew)(const char*, Widget*, int, const char*, ...);
    void (*fileChooserSetSelectMultiple)(Widget*, gboolean);
    SList* (*fileChooserGetFilenames)(Widget*);
    char* (*fileChooserGetFilename)(Widget*);
    Widget* (*messageDialogNew)(Widget*, int, int, int, const char*, ...);
    void (*dialogAddButton)(Widget*, const char*, int);
    void (*dialogSetDefaultResponse)(Widget*, int);
    int (*dialogRun)(Widget*);
    Settings* (*settingsGetDefault)();

    void (*objectSet)(void*, const char*, ...);
    void (*objectUnref)(void*);
    unsigned long (*signalConnectData)(void*, const char*, GCallback, void*, void*, int);
    unsigned (*idleAdd)(GSourceFunc, void*);
    void (*free)(void*);
    void (*strfreev)(char**);
    void (*slistFree)(SList*);
    char* (*filenameFromUri)(const char*, char**, void**);
};

// The toolkit's functions, loaded on the first call; nullptr, with the
// reason in *why, when the library or one of its functions is missing.
const Library* load(std::string* why);

// Connects a handler of any signature to an object's signal.
template <typename Handler>
void connect(const Library& g, void* object, const char* signal, Handler handler, void* data = nullptr) {
    g.signalConnectData(object, signal, reinterpret_cast<GCallback>(handler), data, nullptr, 0);
}

}  // namespace gtk
}  // namespace bkfm
