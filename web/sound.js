// The game's sounds, synthesised with Web Audio: no files to fetch. Browsers let a page
// make sound only after a gesture, so the context is made by the first tap or key.
// Mute and volume are kept in localStorage under STORE_KEY.
import { FULL_HEALTH, PLAYER_RADIUS } from './game.js';

const STORE_KEY = 'skirmish.sound';
const DEFAULT_VOLUME = 0.6;

// Each sound: a wave sliding from one pitch to another over a time, at a loudness.
const voices = {
  shot: { wave: 'square', from: 880, to: 220, ms: 90, gain: 0.25 },
  hitTaken: { wave: 'sawtooth', from: 180, to: 90, ms: 180, gain: 0.5 },
  hitDealt: { wave: 'triangle', from: 1200, to: 1500, ms: 70, gain: 0.45 },
  death: { wave: 'sawtooth', from: 400, to: 50, ms: 700, gain: 0.6 },
  kill: { wave: 'sine', from: 660, to: 660, ms: 120, gain: 0.3 },
  respawn: { wave: 'sine', from: 330, to: 990, ms: 300, gain: 0.4 },
};

export function loadSettings(storage) {
  try {
    const saved = JSON.parse(storage.getItem(STORE_KEY) ?? '{}');
    const volume = Number.isFinite(saved.volume) ? Math.min(1, Math.max(0, saved.volume)) : DEFAULT_VOLUME;
    return { muted: saved.muted === true, volume };
  } catch {
    return { muted: false, volume: DEFAULT_VOLUME }; // a mangled entry is forgotten, not fatal
  }
}

export function newSound(storage) {
  return { storage, ...loadSettings(storage), context: null, output: null, mine: new Map() };
}

function save(sound) {
  try {
    sound.storage.setItem(STORE_KEY, JSON.stringify({ muted: sound.muted, volume: sound.volume }));
  } catch {
    // private browsing may refuse storage: the setting lasts this visit
  }
}

function applyLevel(sound) {
  if (sound.output) sound.output.gain.value = sound.muted ? 0 : sound.volume;
}

export function setVolume(sound, volume) {
  sound.volume = Math.min(1, Math.max(0, volume));
  sound.muted = false;
  applyLevel(sound);
  save(sound);
}

export function toggleMute(sound) {
  sound.muted = !sound.muted;
  applyLevel(sound);
  save(sound);
}

// Called from a gesture's handler: makes (or wakes) the audio context.
export function unlock(sound) {
  const Context = globalThis.AudioContext ?? globalThis.webkitAudioContext;
  if (!Context) return;
  if (!sound.context) {
    sound.context = new Context();
    sound.output = sound.context.createGain();
    sound.output.connect(sound.context.destination);
    applyLevel(sound);
  }
  if (sound.context.state === 'suspended') sound.context.resume();
}

export function play(sound, name) {
  const voice = voices[name];
  const context = sound.context;
  if (!voice || !context || context.state !== 'running' || sound.muted) return;
  const start = context.currentTime;
  const end = start + voice.ms / 1000;
  const oscillator = context.createOscillator();
  const envelope = context.createGain();
  oscillator.type = voice.wave;
  oscillator.frequency.setValueAtTime(voice.from, start);
  oscillator.frequency.exponentialRampToValueAtTime(voice.to, end);
  envelope.gain.setValueAtTime(voice.gain, start);
  envelope.gain.exponentialRampToValueAtTime(0.001, end);
  oscillator.connect(envelope).connect(sound.output);
  oscillator.start(start);
  oscillator.stop(end);
}

const near = (a, b, distance) => Math.abs(a.x - b.x) <= distance && Math.abs(a.y - b.y) <= distance;

// The sounds one message from the server makes for the player myId, told after game has
// taken it in. A shot is told from the shooter's spot, so the own shots are those leaving
// the own position; one of them vanishing on another live player is a hit dealt.
export function soundsFor(sound, game, m) {
  const me = game.players.get(game.myId);
  switch (m.name) {
    case 'NewProjectile':
      if (me && !me.dead && near(me, { x: m.float(2), y: m.float(3) }, 1)) {
        sound.mine.set(m.int(1), { x: m.float(2), y: m.float(3) });
        return ['shot'];
      }
      return [];
    case 'ProjMove':
      if (sound.mine.has(m.int(1))) sound.mine.set(m.int(1), { x: m.float(2), y: m.float(3) });
      return [];
    case 'ProjDelete': {
      const last = sound.mine.get(m.int(1));
      sound.mine.delete(m.int(1));
      if (!last) return [];
      for (const [id, p] of game.players)
        if (id !== game.myId && !p.dead && near(p, last, PLAYER_RADIUS * 1.5)) return ['hitDealt'];
      return [];
    }
    case 'Health': {
      const before = sound.health ?? FULL_HEALTH;
      sound.health = m.int(1);
      return m.int(1) < before && m.int(1) > 0 ? ['hitTaken'] : [];
    }
    case 'Dead':
      return [m.int(1) === game.myId ? 'death' : 'kill'];
    case 'Alive':
      if (m.int(1) !== game.myId) return [];
      sound.health = undefined;
      return ['respawn'];
    default:
      return [];
  }
}
