// The scrolling credits panel comes with the Info window.
