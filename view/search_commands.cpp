// The view's "Search..." command: the search dialog, and the map centred on
// the chosen match at zoom 1.0 with the target cross.

#include "gazetteer/search_dlg.h"
#include "view/map_view.h"

void CVeldraViewerView::OnSearch() {
    CSearchDlg search(this);
    search.m_strMapFolder = m_canvas.MapFolder();
    search.m_strRememberedText = m_strLastSearch;
    search.m_nRememberedCategory = m_nLastSearchCategory;
    search.DoModal();
    // Only a shown match replaces the remembered search; a match without a
    // position (a zero coordinate) shows nothing.
    if (search.m_nChosenX == 0 || search.m_nChosenY == 0)
        return;
    m_strLastSearch = search.m_strRememberedText;
    m_nLastSearchCategory = search.m_nRememberedCategory;
    // The cross marks the match where the map's edge keeps it off the middle.
    m_canvas.CentreOnMapPosition({search.m_nChosenX, search.m_nChosenY}, 1.0, CTargetCross::Show);
}
