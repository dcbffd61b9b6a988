// The one renderer of both pages: the world through a view, then what is laid over it.
import { FULL_HEALTH, Link, PLAYER_RADIUS, TILE, recentKills, standings } from './game.js';

const colours = {
  background: '#14161a', floor: '#1f2228', roomFill: '#3a3f4b', roomEdge: '#59606f', player: '#4fa3e0',
  own: '#6ad17a', dead: '#777', projectile: '#ffd24a', text: '#e6e6e6', panel: 'rgba(20, 22, 26, 0.8)',
};
const FONT = 'system-ui, sans-serif';
const LINE = 20; // pixels between overlay lines
const PANEL_WIDTH = 260;

// Gives the canvas as many pixels as it has room on the page; true when it has any.
export function fitCanvas(canvas) {
  canvas.width = canvas.clientWidth;
  canvas.height = canvas.clientHeight;
  return canvas.width > 0 && canvas.height > 0;
}

function drawWorld(context, game, v, highlightId) {
  const x = (wx) => (wx - v.originX) * v.scale;
  const y = (wy) => (wy - v.originY) * v.scale;
  context.fillStyle = colours.floor;
  context.fillRect(x(0), y(0), game.sizeX * TILE * v.scale, game.sizeY * TILE * v.scale);
  for (const room of game.rooms) {
    context.fillStyle = colours.roomFill;
    context.strokeStyle = colours.roomEdge;
    const w = room.width * TILE * v.scale;
    const h = room.height * TILE * v.scale;
    context.fillRect(x(room.x * TILE), y(room.y * TILE), w, h);
    context.strokeRect(x(room.x * TILE), y(room.y * TILE), w, h);
  }
  context.fillStyle = colours.projectile;
  const size = Math.max(3, 4 * v.scale);
  for (const projectile of game.projectiles.values())
    context.fillRect(x(projectile.x) - size / 2, y(projectile.y) - size / 2, size, size);
  context.font = `14px ${FONT}`;
  context.textAlign = 'center';
  for (const [id, player] of game.players) {
    const px = x(player.x);
    const py = y(player.y);
    const radius = Math.max(4, PLAYER_RADIUS * v.scale);
    context.fillStyle = player.dead ? colours.dead : id === highlightId ? colours.own : colours.player;
    context.beginPath();
    context.arc(px, py, radius, 0, 2 * Math.PI);
    context.fill();
    // The facing mark points where its shots travel: angle − 90 degrees.
    const heading = ((player.rotation - 90) * Math.PI) / 180;
    context.strokeStyle = colours.background;
    context.beginPath();
    context.moveTo(px, py);
    context.lineTo(px + Math.cos(heading) * radius * 1.6, py + Math.sin(heading) * radius * 1.6);
    context.stroke();
    context.fillStyle = player.dead ? colours.dead : colours.text;
    context.fillText(player.name, px, py - radius - 6);
  }
}

// Every known player with kills and deaths, in a panel at the top right below the kill feed.
function drawStandings(context, game, highlightId) {
  const rows = standings(game);
  const left = context.canvas.width - PANEL_WIDTH - 10;
  const top = 14 + LINE * 6;
  context.fillStyle = colours.panel;
  context.fillRect(left, top, PANEL_WIDTH, LINE * (rows.length + 1) + 12);
  context.font = `14px ${FONT}`;
  let lineY = top + LINE;
  for (const row of [{ name: 'Player', kills: 'Kills', deaths: 'Deaths' }, ...rows]) {
    context.fillStyle = row.id === undefined ? '#aaa' : row.id === highlightId ? colours.own : colours.text;
    context.textAlign = 'left';
    context.fillText(row.name.length > 20 ? `${row.name.slice(0, 19)}…` : row.name, left + 10, lineY);
    context.textAlign = 'right';
    context.fillText(String(row.kills), left + PANEL_WIDTH - 70, lineY);
    context.fillText(String(row.deaths), left + PANEL_WIDTH - 10, lineY);
    lineY += LINE;
  }
}

function drawOverlay(context, game, { now, caption, showStandings, highlightId }) {
  const { width, height } = context.canvas;
  context.font = `16px ${FONT}`;
  context.textAlign = 'left';
  context.fillStyle = colours.text;
  if (game.link === Link.playing) context.fillText(`Health ${game.myHealth} / ${FULL_HEALTH}`, 10, 22);
  else if (caption) context.fillText(caption, 10, 22);
  let lineY = height - 24 * (game.log.length + 1) - 8;
  for (const line of game.log) {
    context.fillText(line, 10, lineY);
    lineY += 24;
  }
  context.textAlign = 'right';
  lineY = 22;
  for (const line of recentKills(game, now)) {
    context.fillText(line, width - 10, lineY);
    lineY += LINE;
  }
  if (showStandings) drawStandings(context, game, highlightId);
}

// Draws one frame of the game through view (null: no world yet). highlightId is the
// player drawn as one's own (0 for none); caption heads a page that is not playing.
export function drawFrame(context, game, view, { now, caption = '', showStandings = false, highlightId = 0 }) {
  context.fillStyle = colours.background;
  context.fillRect(0, 0, context.canvas.width, context.canvas.height);
  if (view) drawWorld(context, game, view, highlightId);
  drawOverlay(context, game, { now, caption, showStandings, highlightId });
}
