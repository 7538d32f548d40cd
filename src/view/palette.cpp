#include "palette.h"

namespace
{

constexpr ThemePalette light {
    "#f5f5f5", // window
    "#ffffff", // panel
    "#000000", // text
    "#e0e0e0", // border
    "#ffffff", // input
    "#f0f0f0", // hover
    "#c0c0c0", // scrollHandle
    "#a0a0a0", // scrollHandleHover
    "#666666", // secondaryText
    "#6b6b6b", // placeholderText
    "#0077b3", // accent
    "#005f8f", // accentHover
    "#cccccc", // menuBorder
    "#e3f2fd", // menuSelected
    "#ffffff", // dialogBackground
    "#f0f0f0", // buttonBackground
    "#cccccc", // buttonBorder
    "#e0e0e0", // buttonHover
    "#d0d0d0", // buttonPressed
    "#EEFFDE", // ownBubble
    "#ffffff", // otherBubble
    "#000000", // bubbleText
    "#595959", // timeText
    "#d0d0d0", // bubbleOutline
    "#c2334a", // senderName
    "#2563EB", // replySender
    "#ccc", // replyLine
    "#666", // replyText
    "#2563EB", // seenMark
    "#c62828", // failedMark
    "#1a56db", // focus
    "#0b2545", // selectedFocus
    "#c62828", // errorText
};

constexpr ThemePalette dark {
    "#1e1e1e", // window
    "#2d2d2d", // panel
    "#ffffff", // text
    "#3d3d3d", // border
    "#3d3d3d", // input
    "#3a3a3a", // hover
    "#505050", // scrollHandle
    "#606060", // scrollHandleHover
    "#a0a0a0", // secondaryText
    "#b0b0b0", // placeholderText
    "#0077b3", // accent
    "#005f8f", // accentHover
    "#444444", // menuBorder
    "#3b5278", // menuSelected
    "#2b2b2b", // dialogBackground
    "#3b3b3b", // buttonBackground
    "#555555", // buttonBorder
    "#4a4a4a", // buttonHover
    "#333333", // buttonPressed
    "#2b5278", // ownBubble
    "#2d2d2d", // otherBubble
    "#ffffff", // bubbleText
    "#d8d8d8", // timeText
    nullptr, // bubbleOutline
    "#ff8a95", // senderName
    "#bfdbfe", // replySender
    "#666", // replyLine
    "#d0d0d0", // replyText
    "#bfdbfe", // seenMark
    "#ffb4ab", // failedMark
    "#93c5fd", // focus
    "#ffffff", // selectedFocus
    "#ff8a80", // errorText
};

} // namespace

const ThemePalette &themePalette(bool isDark)
{
    return isDark ? dark : light;
}
