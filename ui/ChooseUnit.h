#pragma once
#include <string>
#include <vector>

#include "ui/CheckListBox.h"
#include "ui/Handles.h"
#include "ui/Window.h"

namespace moravel {

// The chooser behind "&Add file": every project with a check box, those
// already queued greyed. Projects are also created, edited and deleted here.
class TChooseForm final : public Window {
public:
    enum Control : int {
        Button1 = 100,  // "&Ok"
        Button2,        // "&Cancel"
        Button3,        // "&New"
        Button4,        // "&Details"
        Button5,        // "&Remove"
        CheckListBox1,
        Label1,
        Label2,
    };
    static constexpr SIZE kDesignClient = {348, 312};

    TChooseForm();

    CheckListBox list() const noexcept { return CheckListBox(item(CheckListBox1)); }
    // Adds a project's line, greyed while a row of that name is pending: a
    // queued project cannot be queued twice, even one made anew under the
    // name of a removed one whose row still waits.
    void addProjectLine(const std::string& name);
    std::vector<std::string> checkedLines() const;

    void FormShow();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void CheckListBox1Click();

protected:
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void onShowModal() override;

private:
    void setLineButtons(bool enabled);

    UniqueFont font_;
    bool shownOnce_ = false;
};

extern TChooseForm* ChooseForm;

// The chooser, made at its first use (a start does not pay for a window it
// may never show) and kept from then on, with its state, until its owner,
// the main window, goes. Tests may put their own in ChooseForm first.
TChooseForm& chooseForm();

}  // namespace moravel
