#pragma once

// Every fixed pixel size of the interface passes through px(), so a later scaling scheme has one
// place to change.
namespace UiMetrics {
void initialize();
int px(int n);
int scaleFactor();
bool usesLargeLayout();
} // namespace UiMetrics
