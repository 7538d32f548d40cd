#pragma once

// The colours of one theme, defined once and shared by the window's style sheet, the menus and
// dialogs, and the message bubbles. Every text colour keeps a contrast of at least 4.5:1 to the
// background it is drawn on (WCAG AA).
struct ThemePalette {
    // The window: background and message list, panels, text, borders, input fields, the row
    // under the mouse, and the scroll bar handle plain and under the mouse.
    const char *window;
    const char *panel;
    const char *text;
    const char *border;
    const char *input;
    const char *hover;
    const char *scrollHandle;
    const char *scrollHandleHover;
    // Text that matters less (labels of the reply and edit bars), and the hint in empty fields.
    const char *secondaryText;
    const char *placeholderText;
    // Buttons, the selected row, a checked box: white text on it; and under the mouse.
    const char *accent;
    const char *accentHover;

    // Menus (on the panel colour) and confirmation dialogs.
    const char *menuBorder;
    const char *menuSelected;
    const char *dialogBackground;
    const char *buttonBackground;
    const char *buttonBorder;
    const char *buttonHover;
    const char *buttonPressed;

    // Message bubbles; no outline when `bubbleOutline` is null. The time, the "edited" mark and
    // the marks of sending and sent share `timeText`.
    const char *ownBubble;
    const char *otherBubble;
    const char *bubbleText;
    const char *timeText;
    const char *bubbleOutline;
    const char *senderName;
    const char *replySender;
    const char *replyLine;
    const char *replyText;
    const char *seenMark;
    const char *failedMark;

    // The ring around the control that has keyboard focus, and the ring on the accent colour
    // (a selected row, a button).
    const char *focus;
    const char *selectedFocus;

    // Text that warns, on the panel colour.
    const char *errorText;
};

const ThemePalette &themePalette(bool dark);
