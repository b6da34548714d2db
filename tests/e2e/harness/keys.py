"""Keys typed at the prompt in the tests, with the _getch codes they arrive as under Wine.

Measured through tmux send-keys on Wine 8's console: Escape alone never reaches _getch (Wine
holds it as the start of an escape sequence; the next key then arrives unchanged), and F1-F12,
Home and End arrive as nothing at all, so they are not listed. Ctrl-C would kill the program
and its shell (the tty keeps ISIG). test_harness checks this table against the key-echo helper.
"""

# (group, tmux key names, codes _getch returns for them)
KEY_GROUPS = [
    ("letters", ["a", "Z", "q", "y"], [97, 90, 113, 121]),
    ("digits", ["0", "1", "3"], [48, 49, 51]),
    ("space", ["Space"], [32]),
    ("left-arrow", ["Left"], [224, 75]),
    ("other-arrows", ["Up", "Down", "Right"], [224, 72, 224, 80, 224, 77]),
    ("escape", ["Escape"], []),
    ("after-escape", ["b"], [98]),
    ("editing-keys", ["PageUp", "IC", "DC"], [224, 73, 224, 82, 224, 83]),
    ("tab-backspace", ["Tab", "BSpace"], [9, 8]),
    ("ctrl-letters", ["C-a", "C-d"], [1, 4]),
    ("line-feed", ["C-j"], [10]),
]
ENTER_CODE = 13
