#pragma once

// The status bar panels the store lists and the viewer write (MainForm owns the labels).
namespace StoreStatus {
enum Panel { PanelPatient = 0, PanelId = 1, PanelImages = 2, PanelSelected = 3, PanelCount = 4 };
}
