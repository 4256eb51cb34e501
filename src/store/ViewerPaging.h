#pragma once
#include <QList>
#include <QString>
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
// The first image while the thumb is dragged: the rule of the release, so the page the
// thumb stands for is shown, never one past the end.
int firstFromScrollDrag(int value, int columns, int maximum);
// The scroll bar value that shows the row of the given first image.
int scrollValueForFirst(int first, int columns, int maximum);

// The first image after a key (Qt key code); the same first image for keys that do
// nothing.
int firstAfterKey(int qtKey, int first, int imageCount, int imagesPerPage);

// Whether an image is a mammogram for the hanging: modality MG, or a breast by its body part.
bool isBreastImage(const QString &modality, const QString &bodyPart);

struct HangingInput {
    QString laterality; // "R", "L", else not a single breast
    QString view;       // "CC", "MLO", ...
};
// The 2 x 2 hanging of mammograms: rows of two cells (right breast left, left breast
// right), the CC views first, then MLO, then the other views in the order they come;
// images without a laterality or view follow two a row. Returns the image number
// (from 1) of each cell in reading order, 0 for an empty cell; always whole rows.
QList<int> hangingCells(const QList<HangingInput> &images);

// Whether a picture is turned about its vertical axis so that the chest wall faces the
// middle of the hanging: right breasts with the chest wall on the right, left on the left.
bool chestWallMirror(const QString &laterality, const QString &rowDirection);

} // namespace ViewerPaging
