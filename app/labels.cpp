// The catalogue's texts on the main panel's labels.
#include "app/app.h"
#include "lang/catalogue.h"
#include "platform/ui.h"

void Etiquetas_Panel_Principal(int panel) {
  if (panel != Panel_Principal) return;
  // (control, catalogue text), in the order the labels are set.
  static const int kLabels[][2] = {{4, 1}, {6, 5},  {7, 6},   {8, 7},
                                   {9, 8}, {10, 9}, {11, 10}, {12, 11}};
  for (const auto& label : kLabels)
    SetCtrlAttribute(panel, label[0], ATTR_LABEL, CatalogueText(label[1]));
}
