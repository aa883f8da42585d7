// The view's Favourite Places commands: saving the map position at the
// middle of the screen under a name, and centring on a saved place at the
// zoom in use.

#include "places/add_favourite_dlg.h"
#include "places/favourites_dlg.h"
#include "view/map_view.h"

void CVeldraViewerView::OnAddFavourite() {
    const CPoint middle = m_viewport.MapPositionAtMiddle();
    CAddFavouriteDlg add(this);
    add.m_nX = middle.x;
    add.m_nY = middle.y;
    add.m_strMapTitle = m_canvas.MapTitle();
    add.DoModal();
}

void CVeldraViewerView::OnShowFavourites() {
    CFavouritesDlg places(this);
    places.m_strMapTitle = m_canvas.MapTitle();
    places.DoModal();
    if (places.m_nChosenX == 0 || places.m_nChosenY == 0)
        return;
    // Centred at the zoom in use; the target cross keeps its state.
    m_canvas.CentreOnMapPosition({places.m_nChosenX, places.m_nChosenY}, m_viewport.Zoom(),
                                 CTargetCross::Keep);
}
