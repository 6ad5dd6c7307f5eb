#include "ui/DetailUnit.h"

#include <array>
#include <memory>
#include <tuple>
#include <utility>

#include "core/Paths.h"
#include "core/SettingsFile.h"
#include "core/Text.h"
#include "engine/Release.h"
#include "ui/Application.h"
#include "ui/ChooseUnit.h"
#include "ui/Controls.h"
#include "ui/Layout.h"
#include "ui/MainUnit.h"
#include "ui/Seams.h"

namespace moravel {

TDetailForm* DetailForm = nullptr;

TDetailForm& detailForm() { return formOnFirstUse(DetailForm); }

namespace {

const std::array kLayout = {
    ControlSpec{TDetailForm::Button1, "BUTTON", "&Add", BS_PUSHBUTTON | WS_TABSTOP, 0, {338, 120, 75, 25},
                AnchorBottomRight},
    ControlSpec{TDetailForm::Button2, "BUTTON", "&Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0,
                {426, 120, 75, 25}, AnchorBottomRight},
    ControlSpec{TDetailForm::ProjectNameEdit, "EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                {124, 16, 339, 21}, AnchorTopWide},
    ControlSpec{TDetailForm::SourceEdit, "EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                {124, 56, 339, 21}, AnchorTopWide},
    ControlSpec{TDetailForm::DestinationEdit, "EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                {124, 80, 339, 21}, AnchorTopWide},
    ControlSpec{TDetailForm::VersionBackupCheckBox, "BUTTON", "Create versionbackup",
                BS_AUTOCHECKBOX | BS_LEFTTEXT | WS_TABSTOP, 0, {10, 106, 127, 17}},
    // Beside their fields, whatever the window's size.
    ControlSpec{TDetailForm::Button3, "BUTTON", "...", BS_PUSHBUTTON | WS_TABSTOP, 0, {474, 58, 25, 17},
                AnchorTopRight},
    ControlSpec{TDetailForm::Button4, "BUTTON", "...", BS_PUSHBUTTON | WS_TABSTOP, 0, {474, 83, 25, 17},
                AnchorTopRight},
    ControlSpec{TDetailForm::Label1, "STATIC", "Projectname", SS_LEFTNOWORDWRAP, 0, {12, 19, 59, 13}},
    ControlSpec{TDetailForm::Label2, "STATIC", "Source file", SS_LEFTNOWORDWRAP, 0, {12, 60, 50, 13}},
    ControlSpec{TDetailForm::Label3, "STATIC", "Destination file", SS_LEFTNOWORDWRAP, 0, {12, 82, 69, 13}},
    // The options added later sit below the backup box, their boxes in its
    // column; the window grew by their height and nothing above them moved.
    ControlSpec{TDetailForm::ReplaceInUseCheckBox, "BUTTON", "&Replace even while in use",
                BS_AUTOCHECKBOX | WS_TABSTOP, 0, {124, 126, 200, 17}},
    ControlSpec{TDetailForm::QueueOnChangeCheckBox, "BUTTON", "&Queue when the source changes",
                BS_AUTOCHECKBOX | WS_TABSTOP, 0, {124, 146, 200, 17}},
    // What to do when the destination is in use: wait (neither box), replace
    // it at once (the box above) or stop its holder and start it again; the
    // two boxes exclude each other.
    ControlSpec{TDetailForm::RestartHolderCheckBox, "BUTTON", "&Stop what holds it and start it again",
                BS_AUTOCHECKBOX | WS_TABSTOP, 0, {124, 166, 240, 17}},
    ControlSpec{TDetailForm::ForceCloseCheckBox, "BUTTON", "&End a program that does not close",
                BS_AUTOCHECKBOX | WS_TABSTOP | WS_DISABLED, 0, {140, 186, 224, 17}},
    ControlSpec{TDetailForm::TryWhenFreeCheckBox, "BUTTON", "&Try as soon as it is free",
                BS_AUTOCHECKBOX | WS_TABSTOP, 0, {124, 206, 240, 17}},
    ControlSpec{TDetailForm::AtRestartCheckBox, "BUTTON", "If nothing else works, replace it at the &next restart",
                BS_AUTOCHECKBOX | WS_TABSTOP, 0, {124, 226, 300, 17}},
    // Below the options, the window one row taller: the set, and a version back. The row keeps to
    // the bottom, as "&Add" and "&Cancel" above it do, so that they never meet.
    ControlSpec{TDetailForm::SetLabel, "STATIC", "Deploy to&gether as", SS_LEFTNOWORDWRAP, 0, {12, 256, 95, 13},
                AnchorLeft | AnchorBottom},
    ControlSpec{TDetailForm::SetCombo, "COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | CBS_SORT | WS_VSCROLL | WS_TABSTOP,
                0, {124, 252, 200, 120}, AnchorLeft | AnchorBottom},
    ControlSpec{TDetailForm::PutBackButton, "BUTTON", "&Put back...", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {426, 250, 75, 25}, AnchorBottomRight},
};

const Command<TDetailForm> kCommands[] = {
    {TDetailForm::Button1, BN_CLICKED, &TDetailForm::Button1Click},
    {TDetailForm::Button2, BN_CLICKED, &TDetailForm::Button2Click},
    {IDCANCEL, BN_CLICKED, &TDetailForm::Button2Click},  // Escape, as in every dialog
    {TDetailForm::Button3, BN_CLICKED, &TDetailForm::Button3Click},
    {TDetailForm::Button4, BN_CLICKED, &TDetailForm::Button4Click},
    {TDetailForm::ReplaceInUseCheckBox, BN_CLICKED, &TDetailForm::ReplaceInUseCheckBoxClick},
    {TDetailForm::RestartHolderCheckBox, BN_CLICKED, &TDetailForm::RestartHolderCheckBoxClick},
    {TDetailForm::PutBackButton, BN_CLICKED, &TDetailForm::PutBackButtonClick},
};

// The tips of the boxes Moravel added, wrapped at this width.
constexpr int kTipWidth96 = 300;

constexpr const char* kFillInPaths = "Fill in a Source and a Destination please...";

// The room the settings file gives: a value comes back in 2048 bytes, the
// section list in 16384.
constexpr std::size_t kValueRoom = 2047;
constexpr std::size_t kSectionListRoom = 16383;

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < ' ' || c == 0x7f) return true;
    return false;
}

// A name that is a section of a settings file (a project's, or a set's in
// the journal of the sets being deployed) and loads back unchanged.
std::string sectionNameProblem(const std::string& what, const std::string& name) {
    if (hasControlCharacter(name)) return what + " cannot contain tabs, line breaks or other control characters.";
    if (name.front() == ' ' || name.back() == ' ') return what + " cannot begin or end with a blank.";
    if (name.find(']') != std::string::npos) return what + " cannot contain \"]\".";
    if (name.front() == '[' || name.front() == ';') return what + " cannot begin with \"[\" or \";\".";
    return {};
}

}  // namespace

std::string setNameProblem(const std::string& name) {
    if (name.empty()) return {};
    // Stored as a value too, which the settings file gives back only this long.
    if (profileValueText(name).size() > kValueRoom)
        return "A set name is too long: the settings file keeps at most " + std::to_string(kValueRoom) + " characters.";
    return sectionNameProblem("A set name", name);
}

std::string projectNameProblem(const std::string& name) {
    if (std::string problem = sectionNameProblem("A project name", name); !problem.empty()) return problem;
    std::size_t listed = name.size() + 1;
    for (int i = 0; i < MainForm->Projects.count(); ++i) listed += MainForm->Projects.nameAt(i).size() + 1;
    if (listed > kSectionListRoom)
        return "The settings file has no room for another project name of this length.";
    return {};
}

std::string pathProblem(const std::string& what, const std::string& path) {
    if (hasControlCharacter(path)) return "The " + what + " cannot contain tabs, line breaks or other control characters.";
    // Blanks at either end or enclosing quotes are kept by storing the path
    // in quotes, which take room too.
    if (profileValueText(path).size() > kValueRoom)
        return "The " + what + " is too long: the settings file keeps at most " + std::to_string(kValueRoom) +
               " characters, " + std::to_string(kValueRoom - 2) +
               " when the path begins or ends with a blank or is enclosed in quotes.";
    return {};
}

TDetailForm::TDetailForm() {
    font_.reset(createFormFont());
    create({"TDetailForm", "Add or view a new project", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
            WS_EX_CONTROLPARENT, {519, 308}, MainForm ? MainForm->hwnd() : nullptr});
    setChecked(item(VersionBackupCheckBox), true);
    HWND tips = createTooltipWindow(hwnd());
    SendMessageA(tips, TTM_SETMAXTIPWIDTH, 0, scale(kTipWidth96));
    for (const auto& [id, tip] : {
             std::pair{ReplaceInUseCheckBox,
                       "When the destination is in use, put the new file in its place at once: a running "
                       "program keeps the old file until it restarts."},
             std::pair{QueueOnChangeCheckBox,
                       "While Moravel runs, queue this project when its source file changes, once the file "
                       "has been quiet for two seconds."},
             std::pair{RestartHolderCheckBox,
                       "When a program or a service holds the destination, stop it, replace the file and "
                       "start it again."},
             std::pair{ForceCloseCheckBox,
                       "When the program does not close when asked, end it. Unsaved work in that program is "
                       "lost."},
             std::pair{TryWhenFreeCheckBox,
                       "Try as soon as the programs holding the destination have ended, not only at the next "
                       "update."},
             std::pair{AtRestartCheckBox,
                       "When the destination stays in use and none of the choices above frees it, copy the new "
                       "file beside it and have Windows put it in place at the next restart, before any program "
                       "runs. Needs administrator rights."},
             std::pair{SetCombo,
                       "Projects with the same set name are one release: their files are replaced together, all "
                       "or none, and the programs that run them are stopped and started once."},
             std::pair{PutBackButton,
                       "Copy a version kept by \"Create versionbackup\" back over the destination, as an update "
                       "copies a new one. The members of its set go back together."},
         })
        addTooltip(tips, hwnd(), item(id), tip);
}

void TDetailForm::ShowProject(const std::string& name) {
    setWindowText(item(ProjectNameEdit), name);
    if (const TFileObject* project = MainForm->Projects.lookup(windowText(item(ProjectNameEdit)))) {
        setWindowText(item(SourceEdit), project->Source);
        setWindowText(item(DestinationEdit), project->Destination);
        setChecked(item(VersionBackupCheckBox), project->VersionBackup);
        // A hand-edited file may ask for both ways of replacing: the one that
        // also restarts the holder shows, and is what the next save keeps.
        setChecked(item(ReplaceInUseCheckBox), project->ReplaceInUse && !project->RestartHolder);
        setChecked(item(QueueOnChangeCheckBox), project->QueueOnChange);
        setChecked(item(RestartHolderCheckBox), project->RestartHolder);
        setChecked(item(ForceCloseCheckBox), project->ForceClose);
        setChecked(item(TryWhenFreeCheckBox), project->TryWhenFree);
        setChecked(item(AtRestartCheckBox), project->AtRestart);
        setWindowText(item(SetCombo), project->Set);
        followRestartHolder();
    }
}

void TDetailForm::followRestartHolder() {
    enableWindow(item(ForceCloseCheckBox), isChecked(item(RestartHolderCheckBox)));
}

void TDetailForm::ReplaceInUseCheckBoxClick() {
    if (isChecked(item(ReplaceInUseCheckBox))) setChecked(item(RestartHolderCheckBox), false);
    followRestartHolder();
}

void TDetailForm::RestartHolderCheckBoxClick() {
    if (isChecked(item(RestartHolderCheckBox))) setChecked(item(ReplaceInUseCheckBox), false);
    followRestartHolder();
}

void TDetailForm::onShowModal() {
    if (!shownOnce_) {
        centerOnScreen();
        shownOnce_ = true;
    }
    FormShow();
}

void TDetailForm::FormShow() {
    HWND name = item(ProjectNameEdit);
    // The set names in use, to pick from; the field keeps what it shows.
    HWND sets = item(SetCombo);
    const std::string set = windowText(sets);
    SendMessageA(sets, CB_RESETCONTENT, 0, 0);
    for (const std::string& used : MainForm->Projects.setNames())
        SendMessageA(sets, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(used.c_str()));
    setWindowText(sets, set);
    const TFileObject* shown = EditMode ? MainForm->Projects.lookup(windowText(name)) : nullptr;
    enableWindow(item(PutBackButton), shown && shown->VersionBackup);
    if (EditMode) {
        setWindowText(item(Button1), "&Update");
        SendMessageA(name, EM_SETREADONLY, TRUE, 0);
    } else {
        setWindowText(item(Button1), "&Add");
        SendMessageA(name, EM_SETREADONLY, FALSE, 0);
        setWindowText(name, "");
        setWindowText(item(SourceEdit), "");
        setWindowText(item(DestinationEdit), "");
        setWindowText(sets, "");
        // Unlike the backup box, these start off for every new project: they
        // change how and when files are replaced, and are chosen on purpose.
        for (int box : {ReplaceInUseCheckBox, QueueOnChangeCheckBox, RestartHolderCheckBox, ForceCloseCheckBox,
                        TryWhenFreeCheckBox, AtRestartCheckBox})
            setChecked(item(box), false);
        followRestartHolder();
    }
    InvalidateRect(name, nullptr, TRUE);
}

void TDetailForm::refuse(const std::string& text, int field) {
    seams().messageBox(hwnd(), text, kApplicationTitle, MB_OK);
    if (isModal()) focusControl(item(field));
}

void TDetailForm::Button1Click() {
    const std::string name = windowText(item(ProjectNameEdit));
    const std::string source = windowText(item(SourceEdit));
    const std::string destination = windowText(item(DestinationEdit));
    if (source.empty() || destination.empty())
        return refuse(kFillInPaths, source.empty() ? SourceEdit : DestinationEdit);

    TProjects& projects = MainForm->Projects;
    if (!EditMode) {
        if (name.empty()) return refuse("Fill in a projectname please.", ProjectNameEdit);
        if (projects.find(name) >= 0) return refuse("Projectname " + name + " already exists!", ProjectNameEdit);
        if (const std::string problem = projectNameProblem(name); !problem.empty())
            return refuse(problem, ProjectNameEdit);
    }
    // Only what the settings file gives back unchanged is accepted.
    for (const auto& [what, path, field] : {std::tuple{"source path", &source, SourceEdit},
                                            std::tuple{"destination path", &destination, DestinationEdit}})
        if (const std::string problem = pathProblem(what, *path); !problem.empty()) return refuse(problem, field);
    const std::string set = windowText(item(SetCombo));
    if (const std::string problem = setNameProblem(set); !problem.empty()) return refuse(problem, SetCombo);

    const auto applyOptions = [this, &set](TFileObject& project) {
        project.Set = set;
        project.VersionBackup = isChecked(item(VersionBackupCheckBox));
        project.QueueOnChange = isChecked(item(QueueOnChangeCheckBox));
        project.RestartHolder = isChecked(item(RestartHolderCheckBox));
        project.ReplaceInUse = isChecked(item(ReplaceInUseCheckBox)) && !project.RestartHolder;
        project.ForceClose = project.RestartHolder && isChecked(item(ForceCloseCheckBox));
        project.TryWhenFree = isChecked(item(TryWhenFreeCheckBox));
        project.AtRestart = isChecked(item(AtRestartCheckBox));
    };
    if (EditMode) {
        TFileObject* project = projects.lookup(name);
        if (!project) return refuse("The project " + name + " no longer exists.", Button2);
        project->Source = source;
        project->Destination = destination;
        applyOptions(*project);
    } else {
        auto project = std::make_unique<TFileObject>(source, destination);
        applyOptions(*project);
        const int position = projects.add(name, std::move(project));
        chooseForm().addProjectLine(projects.nameAt(position));
    }
    closeModal(IDOK);
}

void TDetailForm::Button2Click() { closeModal(IDCANCEL); }

// The versions whose backups lie beside the destination, newest first: the
// one picked is queued to be put back (with the other members of its set).
void TDetailForm::PutBackButtonClick() {
    const std::string name = windowText(item(ProjectNameEdit));
    const TFileObject* project = MainForm->Projects.lookup(name);
    if (!project) return;
    const std::vector<std::string> versions = backupVersions(project->Destination);
    if (versions.empty())
        return refuse("There is no version backup of " + std::string(fileNamePart(project->Destination)) +
                          " beside it to put back.",
                      PutBackButton);
    const UniqueMenu menu(CreatePopupMenu());
    if (!menu) return;
    for (std::size_t i = 0; i < versions.size(); ++i)
        AppendMenuA(menu.get(), MF_STRING, static_cast<UINT_PTR>(i + 1), versions[i].c_str());
    const UINT picked = seams().popupMenu(hwnd(), menu.get());
    if (picked == 0 || picked > versions.size()) return;
    MainForm->queuePutBack(name, versions[picked - 1]);
}

std::string TDetailForm::browse(int field, bool fileMustExist) {
    const std::string current = windowText(item(field));
    if (!current.empty()) openInitialDir_ = directoryPart(current);
    OpenFileRequest request;
    request.title = "Select a file";
    request.filter = "All Files|*.*";
    request.initialDirectory = openInitialDir_;
    request.fileName = openFileName_;
    request.fileMustExist = fileMustExist;
    const auto picked = seams().openFile(hwnd(), request);
    if (!picked) return {};
    openFileName_ = *picked;
    return *picked;
}

void TDetailForm::Button3Click() {
    const std::string picked = browse(SourceEdit, true);
    if (picked.empty()) return;
    setWindowText(item(SourceEdit), picked);
    if (windowText(item(DestinationEdit)).empty())
        setWindowText(item(DestinationEdit), std::string(fileNamePart(picked)));
}

void TDetailForm::Button4Click() {
    const std::string picked = browse(DestinationEdit, false);
    if (!picked.empty()) setWindowText(item(DestinationEdit), picked);
}

LRESULT TDetailForm::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            moravel::createControls(hwnd(), kLayout, kDesignClient, font_.get());
            return 0;
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) layoutControls(hwnd(), kLayout, kDesignClient);
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC:
            // The name field: white while it can be typed in, button face when read-only.
            if (reinterpret_cast<HWND>(lParam) == item(ProjectNameEdit)) {
                const int color = EditMode ? COLOR_BTNFACE : COLOR_WINDOW;
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetBkColor(dc, EditMode ? GetSysColor(COLOR_BTNFACE) : RGB(255, 255, 255));
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                return reinterpret_cast<LRESULT>(EditMode ? GetSysColorBrush(color)
                                                          : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
            }
            break;
        case DM_GETDEFID:
            // Enter in a field presses "&Add" or "&Update", as in a dialog box.
            return MAKELRESULT(Button1, DC_HASDEFID);
        case WM_COMMAND:
            if (runCommand(*this, kCommands, wParam)) return 0;
            break;
    }
    return Window::onMessage(message, wParam, lParam);
}

}  // namespace moravel
