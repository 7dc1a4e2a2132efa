#include "tools/bkfm/gtklibrary.h"

#include <dlfcn.h>

namespace bkfm {
namespace gtk {

namespace {

// Looks the functions up one by one; the first one missing is named.
struct Lookup {
    void* library;
    std::string* why;
    bool complete = true;

    template <typename Function>
    void operator()(const char* name, Function* function) {
        if (!complete) return;
        *function = reinterpret_cast<Function>(::dlsym(library, name));
        if (*function) return;
        complete = false;
        *why = std::string("the GTK 3 library found lacks ") + name;
    }
};

bool loadAll(Library* g, std::string* why) {
    // GTK 3 alone: the soname says which major version it is. Its own
    // dependencies (GLib, GObject) are searched through its handle.
    void* library = ::dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = ::dlerror();
        *why = std::string("GTK 3 could not be loaded (") + (error ? error : "libgtk-3.so.0") + ")";
        return false;
    }
    Lookup take{library, why};
    take("gtk_init_check", &g->initCheck);
    take("gtk_main", &g->main);
    take("gtk_main_quit", &g->mainQuit);
    take("gtk_window_new", &g->windowNew);
    take("gtk_window_set_title", &g->windowSetTitle);
    take("gtk_window_set_default_size", &g->windowSetDefaultSize);
    take("gtk_container_add", &g->containerAdd);
    take("gtk_container_set_border_width", &g->containerSetBorderWidth);
    take("gtk_box_new", &g->boxNew);
    take("gtk_box_pack_start", &g->boxPackStart);
    take("gtk_button_new_with_mnemonic", &g->buttonNewWithMnemonic);
    take("gtk_scrolled_window_new", &g->scrolledWindowNew);
    take("gtk_scrolled_window_set_policy", &g->scrolledWindowSetPolicy);
    take("gtk_scrolled_window_set_shadow_type", &g->scrolledWindowSetShadowType);
    take("gtk_label_new", &g->labelNew);
    take("gtk_label_set_text", &g->labelSetText);
    take("gtk_label_set_xalign", &g->labelSetXalign);
    take("gtk_label_set_line_wrap", &g->labelSetLineWrap);
    take("gtk_label_set_selectable", &g->labelSetSelectable);
    take("gtk_widget_set_sensitive", &g->widgetSetSensitive);
    take("gtk_widget_show_all", &g->widgetShowAll);
    take("gtk_widget_destroy", &g->widgetDestroy);
    take("gtk_widget_grab_focus", &g->widgetGrabFocus);
    take("gtk_list_store_newv", &g->listStoreNewv);
    take("gtk_list_store_clear", &g->listStoreClear);
    take("gtk_list_store_insert_with_values", &g->listStoreInsertWithValues);
    take("gtk_tree_view_new_with_model", &g->treeViewNewWithModel);
    take("gtk_tree_view_append_column", &g->treeViewAppendColumn);
    take("gtk_tree_view_get_selection", &g->treeViewGetSelection);
    take("gtk_tree_view_set_cursor", &g->treeViewSetCursor);
    take("gtk_tree_view_column_new_with_attributes", &g->treeViewColumnNewWithAttributes);
    take("gtk_tree_view_column_set_resizable", &g->treeViewColumnSetResizable);
    take("gtk_tree_view_column_set_expand", &g->treeViewColumnSetExpand);
    take("gtk_tree_view_column_set_alignment", &g->treeViewColumnSetAlignment);
    take("gtk_cell_renderer_text_new", &g->cellRendererTextNew);
    take("gtk_tree_selection_get_selected", &g->treeSelectionGetSelected);
    take("gtk_tree_model_get_path", &g->treeModelGetPath);
    take("gtk_tree_path_get_indices", &g->treePathGetIndices);
    take("gtk_tree_path_new_from_string", &g->treePathNewFromString);
    take("gtk_tree_path_free", &g->treePathFree);
    take("gtk_drag_dest_set", &g->dragDestSet);
    take("gtk_drag_dest_unset", &g->dragDestUnset);
    take("gtk_selection_data_get_uris", &g->selectionDataGetUris);
    take("gtk_file_chooser_dialog_new", &g->fileChooserDialogNew);
    take("gtk_file_chooser_set_select_multiple", &g->fileChooserSetSelectMultiple);
    take("gtk_file_chooser_get_filenames", &g->fileChooserGetFilenames);
    take("gtk_file_chooser_get_filename", &g->fileChooserGetFilename);
    take("gtk_message_dialog_new", &g->messageDialogNew);
    take("gtk_dialog_add_button", &g->dialogAddButton);
    take("gtk_dialog_set_default_response", &g->dialogSetDefaultResponse);
    take("gtk_dialog_run", &g->dialogRun);
    take("gtk_settings_get_default", &g->settingsGetDefault);
    take("g_object_set", &g->objectSet);
    take("g_object_unref", &g->objectUnref);
    take("g_signal_connect_data", &g->signalConnectData);
    take("g_idle_add", &g->idleAdd);
    take("g_free", &g->free);
    take("g_strfreev", &g->strfreev);
    take("g_slist_free", &g->slistFree);
    take("g_filename_from_uri", &g->filenameFromUri);
    return take.complete;
}

}  // namespace

const Library* load(std::string* why) {
    static Library g;
    static bool loaded = false;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        loaded = loadAll(&g, &failure);
    }
    if (!loaded) *why = failure;
    return loaded ? &g : nullptr;
}

}  // namespace gtk
}  // namespace bkfm
