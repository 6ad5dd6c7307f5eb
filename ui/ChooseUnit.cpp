#include "ui/ChooseUnit.h"

#include <array>
#include <memory>

#include "ui/Application.h"
#include "ui/Controls.h"
#include "ui/DetailUnit.h"
#include "ui/Layout.h"
#include "ui/MainUnit.h"

namespace moravel {

TChooseForm* ChooseForm = nullptr;

TChooseForm& chooseForm() { return formOnFirstUse(ChooseForm); }

namespace {

constexpr int kLineHeight = 13;

const std::array kLayout = {
    ControlSpec{TChooseForm::Button1, "BUTTON", "&Ok", BS_PUSHBUTTON | WS_TABSTOP, 0, {262, 239, 75, 25},
                AnchorBottomRight},
    ControlSpec{TChooseForm::Button2, "BUTTON", "&Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0,
                {262, 277, 75, 25}, AnchorBottomRight},
    ControlSpec{TChooseForm::Button3, "BUTTON", "&New", BS_PUSHBUTTON | WS_TABSTOP, 0, {262, 28, 75, 25},
                AnchorTopRight},
    ControlSpec{TChooseForm::Button4, "BUTTON", "&Details", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {262, 93, 75, 25}, AnchorTopRight},
    ControlSpec{TChooseForm::Button5, "BUTTON", "&Remove", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {262, 128, 75, 25}, AnchorTopRight},
    ControlSpec{TChooseForm::CheckListBox1, "LISTBOX", "", CheckListBox::kStyle, WS_EX_CLIENTEDGE,
                {16, 26, 233, 275}, AnchorAll},
    ControlSpec{TChooseForm::Label1, "STATIC", "Check the boxes of the files to add", SS_LEFTNOWORDWRAP, 0,
                {16, 8, 164, 13}},
    ControlSpec{TChooseForm::Label2, "STATIC", "Selected line:", SS_LEFTNOWORDWRAP, 0, {265, 71, 64, 13}, AnchorTopRight},
};

const Command<TChooseForm> kCommands[] = {
    {TChooseForm::Button1, BN_CLICKED, &TChooseForm::Button1Click},
    {TChooseForm::Button2, BN_CLICKED, &TChooseForm::Button2Click},
    {IDCANCEL, BN_CLICKED, &TChooseForm::Button2Click},  // Escape, as in every dialog
    {TChooseForm::Button3, BN_CLICKED, &TChooseForm::Button3Click},
    {TChooseForm::Button4, BN_CLICKED, &TChooseForm::Button4Click},
    {TChooseForm::Button5, BN_CLICKED, &TChooseForm::Button5Click},
    {TChooseForm::CheckListBox1, LBN_SELCHANGE, &TChooseForm::CheckListBox1Click},
};

}  // namespace

TChooseForm::TChooseForm() {
    font_.reset(createFormFont());
    create({"TChooseForm", "Choose file(s) to update", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
            WS_EX_CONTROLPARENT, {356, 339}, MainForm ? MainForm->hwnd() : nullptr});
}

std::vector<std::string> TChooseForm::checkedLines() const {
    std::vector<std::string> lines;
    const CheckListBox box = list();
    for (int i = 0; i < box.count(); ++i)
        if (box.checked(i)) lines.push_back(box.text(i));
    return lines;
}

void TChooseForm::setLineButtons(bool enabled) {
    enableWindow(item(Button4), enabled);
    enableWindow(item(Button5), enabled);
}

void TChooseForm::onShowModal() {
    if (!shownOnce_) {
        moveTo96(267, 208);
        shownOnce_ = true;
    }
    FormShow();
}

void TChooseForm::addProjectLine(const std::string& name) {
    const CheckListBox box = list();
    const int line = box.add(name);
    if (line >= 0 && MainForm->pending().findByName(name) >= 0) box.setEnabled(line, false);
}

void TChooseForm::FormShow() {
    list().clear();
    for (int i = 0; i < MainForm->Projects.count(); ++i) addProjectLine(MainForm->Projects.nameAt(i));
    setLineButtons(false);
}

void TChooseForm::CheckListBox1Click() { setLineButtons(true); }

void TChooseForm::Button1Click() { closeModal(IDOK); }
void TChooseForm::Button2Click() { closeModal(IDCANCEL); }

void TChooseForm::Button3Click() {
    TDetailForm& detail = detailForm();
    detail.EditMode = false;
    if (detail.showModal() == IDOK) MainForm->SaveProjects();
}

void TChooseForm::Button4Click() {
    const int selected = list().selected();
    if (selected < 0) return;
    const std::string name = list().text(selected);
    if (MainForm->Projects.find(name) < 0) return;  // its project is gone
    TDetailForm& detail = detailForm();
    detail.EditMode = true;
    detail.ShowProject(name);
    if (detail.showModal() == IDOK) MainForm->SaveProjects();
}

void TChooseForm::Button5Click() {
    const CheckListBox box = list();
    const int selected = box.selected();
    if (selected < 0) return;
    const std::string name = box.text(selected);
    const int project = MainForm->Projects.find(name);
    if (project < 0) return;  // its project is gone
    MainForm->Projects.remove(project);
    MainForm->SaveProjects();  // a refused save ends here: the line stays
    // The save handles waiting messages: a "&New" among them may have put a
    // line above this one, so the line is found again by its text.
    if (const int line = box.find(name); line >= 0) box.remove(line);
    setLineButtons(false);
}

LRESULT TChooseForm::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            moravel::createControls(hwnd(), kLayout, kDesignClient, font_.get());
            CheckListBox::attach(item(CheckListBox1));
            return 0;
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) layoutControls(hwnd(), kLayout, kDesignClient);
            return 0;
        case WM_MEASUREITEM:
            if (wParam == CheckListBox1) {
                CheckListBox::measureItem(*reinterpret_cast<MEASUREITEMSTRUCT*>(lParam), kLineHeight);
                return TRUE;
            }
            break;
        case WM_DRAWITEM:
            if (wParam == CheckListBox1) {
                CheckListBox::drawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
                return TRUE;
            }
            break;
        case DM_GETDEFID:
            return MAKELRESULT(Button1, DC_HASDEFID);  // Enter in the list: "&Ok"
        case WM_COMMAND:
            if (runCommand(*this, kCommands, wParam)) return 0;
            break;
    }
    return Window::onMessage(message, wParam, lParam);
}

}  // namespace moravel
