// The handles of the main panel, shared by the shell, the connection and the meter screens.
#include "panels/panels.h"

int Panel_Principal = -1;
int Panel_Puerto = -1;
