#pragma once

// The export choices, numbered as the export bar's combo boxes and the settings
// ("viewer/export_format", "viewer/export_sortmode") store them: never reorder.

enum export_output : int { export_clipboard = 0, export_file = 1 };

enum export_format : int {
    export_plaintext = 0,
    export_html = 1,
    export_csv = 2,
    export_markdown = 3
};

enum export_sortmode : int {
    export_sort_viewer = 0,
    export_sort_date = 1,
    export_sort_title_date = 2,
    export_sort_title_page = 3,
    export_sort_selection = 4
};
