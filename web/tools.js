// The buttons over the canvas: full screen on every page; on the game page also sound
// (mute, volume) and, on touch screens, chat, respawn and the scoreboard.
import * as sounds from './sound.js';

const byId = (id) => document.getElementById(id);

// Shows #fullscreen where the Fullscreen API exists; it enters and leaves full screen.
export function wireFullscreen() {
  const button = byId('fullscreen');
  if (!button || !document.fullscreenEnabled) return;
  button.hidden = false;
  button.addEventListener('click', () => {
    if (document.fullscreenElement) document.exitFullscreen();
    else document.documentElement.requestFullscreen().catch(() => {}); // refused: the page stays as it is
  });
}

// Touch controls show on a device whose main pointer is coarse, or from the first touch on.
export function showTouchOnCoarsePointer() {
  if (globalThis.matchMedia && matchMedia('(pointer: coarse)').matches) document.body.classList.add('touch');
}

function showSound(sound) {
  byId('mute').textContent = sound.muted ? '♪ off' : '♪ on';
  byId('mute').setAttribute('aria-pressed', String(sound.muted));
  byId('volume').value = String(sound.volume);
}

// actions: chat(), respawn(), scores() → whether the scoreboard now shows.
export function wirePageTools(sound, actions) {
  wireFullscreen();
  showTouchOnCoarsePointer();
  // Browsers let a page make sound only from a gesture (a tap counts once the finger
  // lifts): the first tap or key makes the context, a later one wakes it if it sleeps.
  for (const type of ['pointerdown', 'pointerup', 'touchend', 'keydown'])
    window.addEventListener(type, () => sounds.unlock(sound), { capture: true, passive: true });
  showSound(sound);
  byId('mute').addEventListener('click', () => {
    sounds.toggleMute(sound);
    showSound(sound);
  });
  byId('volume').addEventListener('input', (event) => {
    sounds.setVolume(sound, Number(event.target.value));
    showSound(sound);
  });
  byId('chat-button').addEventListener('click', actions.chat);
  byId('respawn-button').addEventListener('click', actions.respawn);
  byId('scores-button').addEventListener('click', (event) => {
    event.currentTarget.setAttribute('aria-pressed', String(actions.scores()));
  });
  // The buttons keep no focus: keys go on steering the game after a click.
  for (const control of document.querySelectorAll('#tools button'))
    control.addEventListener('pointerup', () => control.blur());
}
