#pragma once

class QWidget;

// Registers the images compiled into the program (they live in a static library).
void initImageResources();
// Centres the widget's current size in the primary screen's available geometry.
void centerOnPrimaryScreen(QWidget *widget);
