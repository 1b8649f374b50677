#include "UiMetrics.h"

namespace UiMetrics {

void initialize()
{
}

int px(int n)
{
    return n;
}

int scaleFactor()
{
    return 1;
}

bool usesLargeLayout()
{
    return false;
}

} // namespace UiMetrics
