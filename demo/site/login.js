// The login page of the demo: signs the player in with a name and hands the launcher a JSON token
// holding that name as its userid. The page is 480 x 360 pixels; the panel inside leaves a
// magenta margin so the rounded corners show.
(function () {
  var launcher = window.external;
  var user = document.getElementById('user');
  var message = document.getElementById('message');

  launcher.ResizeAndCenter(480, 360);

  document.getElementById('title').addEventListener('mousedown', function (event) {
    if (event.button === 0 && event.target.id !== 'close') launcher.DragMove();
  });
  document.getElementById('close').addEventListener('click', function () {
    launcher.ExitApp();
  });
  document.getElementById('form').addEventListener('submit', function (event) {
    event.preventDefault();
    var name = user.value.trim();
    // The name travels to the game's command line, so it is kept to plain characters.
    if (!/^[A-Za-z0-9_-]{1,32}$/.test(name)) {
      message.textContent = 'Use 1 to 32 letters, digits, - or _.';
      user.focus();
      return;
    }
    message.textContent = '';
    launcher.StartGameV2(JSON.stringify({ userid: name, token: 'demo-' + Date.now().toString(36) }));
  });

  // login.html?user=NAME fills the field and signs in after a moment (for unattended runs).
  var wanted = /[?&]user=([^&]*)/.exec(window.location.search);
  if (wanted) {
    user.value = decodeURIComponent(wanted[1]);
    setTimeout(function () { document.getElementById('play').click(); }, 1500);
  }
})();
