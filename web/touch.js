// Twin sticks for touch screens: a thumb landing on the left half of the canvas moves,
// one on the right half aims, and each stick floats to where its thumb landed. The
// sticks are plain state (testable without a browser); attachSticks wires them to a canvas.
import { aimAngle } from './game.js';

export const STICK_RADIUS = 56; // CSS pixels from a stick's centre to its rim
export const FIRE_PAST = 1 / 3; // the aim stick fires while pushed past this share of its radius
const DEAD_ZONE = 0.25; // a move stick pushed less than this share of its radius stands still
// A stick within this many degrees of an axis moves along the axis alone, as one arrow key does.
const AXIS_DEGREES = 22.5;

export function newSticks() {
  return { move: null, aim: null }; // each null or { id, x0, y0, x, y } in CSS pixels
}

// A new touch at (x, y) on a canvas width wide takes the free stick of its half; false when taken.
export function touchStart(sticks, id, x, y, width) {
  const side = x < width / 2 ? 'move' : 'aim';
  if (sticks[side]) return false;
  sticks[side] = { id, x0: x, y0: y, x, y };
  return true;
}

export function touchMove(sticks, id, x, y) {
  for (const stick of [sticks.move, sticks.aim]) if (stick && stick.id === id) Object.assign(stick, { x, y });
}

export function touchEnd(sticks, id) {
  for (const side of ['move', 'aim']) if (sticks[side] && sticks[side].id === id) sticks[side] = null;
}

// Every thumb lets go: a cancelled touch, a hidden page or a lost focus must not leave a stick held.
export function releaseAll(sticks) {
  sticks.move = null;
  sticks.aim = null;
}

// How far the stick is pushed: its direction and its length as a share of the radius (at most 1).
export function pushOf(stick) {
  if (!stick) return { dx: 0, dy: 0, share: 0 };
  const dx = stick.x - stick.x0;
  const dy = stick.y - stick.y0;
  return { dx, dy, share: Math.min(1, Math.hypot(dx, dy) / STICK_RADIUS) };
}

// One "Move" from the move stick, as the keys would make it: step units on each axis
// the stick leans along (eight directions), or null while it is near its centre.
export function moveFromStick(sticks, step = 6) {
  const { dx, dy, share } = pushOf(sticks.move);
  if (share < DEAD_ZONE) return null;
  const degrees = (Math.atan2(Math.abs(dy), Math.abs(dx)) * 180) / Math.PI;
  const x = degrees <= 90 - AXIS_DEGREES ? Math.sign(dx) * step : 0;
  const y = degrees >= AXIS_DEGREES ? Math.sign(dy) * step : 0;
  return { dx: x, dy: y };
}

// The aim stick's facing angle and whether it fires; null while no thumb aims or it sits on the centre.
export function aimFromStick(sticks) {
  const { dx, dy, share } = pushOf(sticks.aim);
  if (share === 0) return null;
  return { angle: aimAngle(dx, dy), firing: share > FIRE_PAST };
}

// Wires the sticks to canvas. onChange runs when a thumb lands, moves or lifts (so the page
// can send at once); onFirstTouch runs once, on the first touch, to show the touch controls.
export function attachSticks(canvas, sticks, { onChange, onFirstTouch }) {
  let touched = false;
  const at = (touch) => {
    const box = canvas.getBoundingClientRect();
    return [touch.clientX - box.left, touch.clientY - box.top];
  };
  const handle = (event, each) => {
    event.preventDefault(); // no scrolling, zooming or mouse events made up from touches
    for (const touch of event.changedTouches) each(touch.identifier, ...at(touch));
    onChange();
  };
  canvas.addEventListener('touchstart', (event) => {
    if (!touched) onFirstTouch();
    touched = true;
    handle(event, (id, x, y) => touchStart(sticks, id, x, y, canvas.clientWidth));
  }, { passive: false });
  canvas.addEventListener('touchmove', (event) => handle(event, (id, x, y) => touchMove(sticks, id, x, y)),
    { passive: false });
  canvas.addEventListener('touchend', (event) => handle(event, (id) => touchEnd(sticks, id)), { passive: false });
  const letGo = () => {
    releaseAll(sticks);
    onChange();
  };
  canvas.addEventListener('touchcancel', letGo);
  canvas.addEventListener('pointercancel', letGo);
  window.addEventListener('blur', letGo);
  window.addEventListener('pagehide', letGo);
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) letGo();
  });
}

// The sticks as two rings and their knobs; the aim ring turns the fire colour past the fire line.
export function drawSticks(context, sticks, colours) {
  for (const side of ['move', 'aim']) {
    const stick = sticks[side];
    if (!stick) continue;
    const { dx, dy, share } = pushOf(stick);
    const length = Math.hypot(dx, dy) || 1;
    const knobX = stick.x0 + (dx / length) * share * STICK_RADIUS;
    const knobY = stick.y0 + (dy / length) * share * STICK_RADIUS;
    const firing = side === 'aim' && share > FIRE_PAST;
    context.lineWidth = 3;
    context.strokeStyle = firing ? colours.fire : colours.stick;
    context.beginPath();
    context.arc(stick.x0, stick.y0, STICK_RADIUS, 0, 2 * Math.PI);
    context.stroke();
    if (side === 'aim') { // the fire line: a dashed inner ring
      context.setLineDash([4, 6]);
      context.beginPath();
      context.arc(stick.x0, stick.y0, STICK_RADIUS * FIRE_PAST, 0, 2 * Math.PI);
      context.stroke();
      context.setLineDash([]);
    }
    context.fillStyle = firing ? colours.fire : colours.stick;
    context.beginPath();
    context.arc(knobX, knobY, STICK_RADIUS * 0.4, 0, 2 * Math.PI);
    context.fill();
    context.lineWidth = 1;
  }
}
