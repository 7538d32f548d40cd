#include "palette.h"

namespace
{

constexpr ThemePalette light {
    "#f5f5f5",
    "#ffffff",
    "#000000",
    "#e0e0e0",
    "#ffffff",
    "#f0f0f0",
    "#c0c0c0",
    "#a0a0a0",
    "#cccccc",
    "#e3f2fd",
    "#ffffff",
    "#f0f0f0",
    "#cccccc",
    "#e0e0e0",
    "#d0d0d0",
    "#EEFFDE",
    "#ffffff",
    "#000000",
    "#888888",
    "#d0d0d0",
    "#2563EB",
    "#ccc",
    "#666",
    "#60A5FA",
    "#1a56db",
    "#0b2545",
    "#c62828",
};

constexpr ThemePalette dark {
    "#1e1e1e",
    "#2d2d2d",
    "#ffffff",
    "#3d3d3d",
    "#3d3d3d",
    "#3a3a3a",
    "#505050",
    "#606060",
    "#444444",
    "#3b5278",
    "#2b2b2b",
    "#3b3b3b",
    "#555555",
    "#4a4a4a",
    "#333333",
    "#2b5278",
    "#2d2d2d",
    "#ffffff",
    "#a0a0a0",
    nullptr,
    "#60A5FA",
    "#666",
    "#aaa",
    "#93C5FD",
    "#93c5fd",
    "#ffffff",
    "#ff8a80",
};

} // namespace

const ThemePalette &themePalette(bool isDark)
{
    return isDark ? dark : light;
}
