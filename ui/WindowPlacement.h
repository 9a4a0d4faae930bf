#pragma once

class QRect;
class QWidget;

// Registers the images compiled into the program (they live in a static library).
void initImageResources();
// Centres the widget's current size in the primary screen's available geometry.
void centerOnPrimaryScreen(QWidget *widget);
// Gives the widget that geometry where the screens show all of it; otherwise centres it.
void placeOnScreens(QWidget *widget, const QRect &geometry);
