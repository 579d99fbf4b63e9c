// Fernhill Tea Company: sends the forms marked data-fetch without leaving the page.
// The form keeps its action and fields, so without scripts it posts as any form
// does. With scripts, it is posted with fetch() and asks velloc for a JSON answer:
// the confirmation replaces the page's content, missing fields get their message
// beside the input, and any other refusal shows its message above the button.
"use strict";

(function () {
  const REQUIRED_TEXT = "Please fill this in.";

  function fieldNamed(form, name) {
    const wanted = name.toLowerCase();
    for (const element of form.elements) {
      if (element.name && element.name.toLowerCase() === wanted) return element;
    }
    return null;
  }

  function clearErrors(form) {
    for (const note of form.querySelectorAll(".field-error, .form-status")) note.remove();
    for (const field of form.querySelectorAll("[aria-invalid]")) {
      field.removeAttribute("aria-invalid");
      field.removeAttribute("aria-describedby");
    }
  }

  function showStatus(form, text) {
    const status = document.createElement("p");
    status.className = "form-status notice warn";
    status.setAttribute("role", "alert");
    status.textContent = text;
    const button = form.querySelector('[type="submit"]');
    form.insertBefore(status, button);
  }

  function showMissing(form, errors) {
    let first = null;
    for (const error of errors) {
      const field = fieldNamed(form, error.field);
      if (!field) continue;
      const note = document.createElement("p");
      note.className = "field-error";
      note.id = "error-" + field.name;
      note.textContent = error.code === "required" ? REQUIRED_TEXT : error.code;
      field.after(note);
      field.setAttribute("aria-invalid", "true");
      field.setAttribute("aria-describedby", note.id);
      first = first || field;
    }
    if (first) first.focus();
  }

  // The answer's page (velloc's expanded confirmation template) in place of the
  // page's content: its <main> when it has one, else its body. Parsed, not
  // executed: scripts in it do not run.
  function showPage(form, html) {
    const page = new DOMParser().parseFromString(html, "text/html");
    const content = page.querySelector("main") || page.body;
    const target = form.closest("main") || form;
    target.replaceChildren(...Array.from(content.childNodes, (node) => document.importNode(node, true)));
    const heading = target.querySelector("h1");
    if (heading) {
      heading.tabIndex = -1;
      heading.focus();
    }
  }

  function showThanks(form) {
    const thanks = document.createElement("p");
    thanks.className = "notice";
    thanks.setAttribute("role", "status");
    thanks.textContent = "Thank you, your message has been sent.";
    form.replaceWith(thanks);
  }

  async function send(form) {
    const button = form.querySelector('[type="submit"]');
    clearErrors(form);
    if (button) button.disabled = true;
    try {
      const response = await fetch(form.action, {
        method: "POST",
        body: new FormData(form),
        headers: { Accept: "application/json" },
      });
      const type = response.headers.get("Content-Type") || "";
      if (!type.startsWith("application/json")) {
        // A handler that answers with a page (or a web server's error page).
        showPage(form, await response.text());
        return;
      }
      const answer = await response.json();
      if (answer.ok) {
        if (answer.html) showPage(form, answer.html);
        else if (answer.next) window.location.assign(answer.next);
        else showThanks(form);
        return;
      }
      if (answer.error === "missing_fields") {
        showMissing(form, answer.errors || []);
        showStatus(form, "Please fill in the fields marked above.");
      } else {
        showStatus(form, answer.message || "The form could not be sent (" + answer.error + ").");
      }
    } catch (failure) {
      showStatus(form, "The form could not be sent. Please check your connection and try again.");
    } finally {
      if (button) button.disabled = false;
    }
  }

  // A browser without these keeps the form as it is.
  if (!window.fetch || !window.FormData || !window.DOMParser) return;
  for (const form of document.querySelectorAll("form[data-fetch]")) {
    form.addEventListener("submit", (event) => {
      event.preventDefault();
      send(form);
    });
  }
})();
