#pragma once

// The windows' forms are drawn for "Trebuchet MS" at fixed places. Where that font is missing (Linux, a bare
// Wine), the fallback is wider and texts run over one another; this makes PT Sans, compiled into the program
// and of like width, stand in for it. Nothing changes where "Trebuchet MS" exists. Called by each window
// before it builds its form; only the first call does anything.
void provideWindowFont();
