// The view's Favourite Places commands: saving the map position at the
// middle of the screen under a name, and centring on a saved place at the
// zoom in use.

#include "places/add_favourite_dlg.h"
#include "places/favourites_dlg.h"
#include "view/map_view.h"

void CVeldraViewerView::OnAddFavourite() {
    // The centre is a zoomed position; the place keeps it at zoom 1.0.
    const double toMap = 1.0 / m_dZoom;
    CAddFavouriteDlg add(this);
    add.m_nX = int32_t(m_ptCentre.x * toMap);
    add.m_nY = int32_t(m_ptCentre.y * toMap);
    add.m_strMapTitle = m_szMapTitle;
    add.DoModal();
}

void CVeldraViewerView::OnShowFavourites() {
    CFavouritesDlg places(this);
    places.m_strMapTitle = m_szMapTitle;
    places.DoModal();
    if (places.m_nChosenX == 0 || places.m_nChosenY == 0)
        return;
    // Centred at the zoom in use; the target cross keeps its state.
    m_ptPending = {places.m_nChosenX, places.m_nChosenY};
    ApplyZoom(m_nClientWidth, m_nClientHeight, m_dZoom);
}
