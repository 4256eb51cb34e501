#pragma once
#include <QtGlobal>

// The arithmetic of the viewer's pages: which image is shown first after a key, a scroll
// bar change or a drag, and how the scroll bar is set up. Image numbers start at 1.
namespace ViewerPaging {

// The smallest integer not below x (x itself when whole).
int roundUp(double x);

struct ScrollSetup {
    bool enabled = false;
    int maximum = 0;
};
// Disabled below one full page; from a full page on the maximum is the number of rows
// that do not fit, rounded up.
ScrollSetup scrollSetup(int imageCount, int imagesPerPage, int columns);

// The first image after the scroll bar's value changed.
int firstFromScrollValue(int value, int columns);
// The first image while the thumb is dragged.
int firstFromScrollDrag(int value, int imagesPerPage);
// The scroll bar value that shows the row of the given first image.
int scrollValueForFirst(int first, int columns, int maximum);

// The first image after a key (Qt key code); the same first image for keys that do
// nothing.
int firstAfterKey(int qtKey, int first, int imageCount, int imagesPerPage);

} // namespace ViewerPaging
